// Gives up with a critical message in the language given as argument, reads
// the error box that appears like a user would, prints what it shows as JSON
// on standard output and presses its OK button.
#include "logger.h"
#include "myapplication.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDebug>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMessageBox>
#include <QTest>
#include <QTimer>

#include <cstdio>

static void readBox()
{
    QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box)
        return;
    QJsonArray buttons;
    for (QAbstractButton *button : box->findChildren<QAbstractButton *>())
        buttons.append(button->text());
    const QJsonObject shown{{"class", box->metaObject()->className()},
                            {"icon", int(box->icon())},
                            {"title", box->windowTitle()},
                            {"text", box->text()},
                            {"informative", box->informativeText()},
                            {"details", box->detailedText()},
                            {"buttons", buttons},
                            {"width", box->width()}};
    const QByteArray json = QJsonDocument(shown).toJson(QJsonDocument::Compact) + "\n";
    fwrite(json.constData(), 1, json.size(), stdout);
    fflush(stdout);
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
}

int main(int argc, char **argv)
{
    Logger::installMessageHandler();
    MyApplication app(argc, argv);
    changeLanguage(nullptr, argc > 1 ? argv[1] : "sk");
    qWarning() << "Pred chybou";
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, readBox);
    timer.start(20);
    qCritical() << "Kriticka chyba" << QString("100%1");
    return 0;
}
