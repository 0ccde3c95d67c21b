#include "myapplication.h"

#include "mainsingleton.h"
#include "redirectserver.h"
#include "utils.h"

#include <QDebug>
#include <QFileOpenEvent>
#include <QIcon>
#include <QInputDialog>
#include <QLocale>
#include <QSettings>
#include <QTranslator>

static QTranslator *translator = nullptr;
static QTranslator *translatorQtBase = nullptr;
static QTranslator *translatorQtMoje = nullptr;

MyApplication::MyApplication(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setQuitOnLastWindowClosed(false);
    setOrganizationName("Obrenta, a.s.");
    setOrganizationDomain("obrenta.sk");
    setApplicationName("Kavrel");
    setApplicationVersion(KAVREL_VERSION);
    setWindowIcon(QIcon(":/pixmaps/kavrel"));
}

static QString askLanguage()
{
    const QString english = "English";
    const QString slovak = "Slovenský";
    QString system = QLocale::system().name();
    const int underscore = system.lastIndexOf('_');
    system = underscore < 0 ? QString() : system.left(underscore);

    QInputDialog dialog;
    dialog.setLabelText("Vyberte si preferovaný jazyk:\nSelect preferred language:");
    dialog.setComboBoxItems({english, slovak});
    dialog.setComboBoxEditable(false);
    dialog.setCancelButtonText("&Zrušiť");
    dialog.setTextValue(system == "en" ? english : slovak);
    if (dialog.exec() != QDialog::Accepted)
        return QString();
    return dialog.textValue() == english ? "en" : "sk";
}

QString MyApplication::storedLanguage()
{
    QString lang = Utils::config()->value("lang").toString();
    if (lang.isEmpty())
        lang = Utils::config(Utils::dirApp() + "/config.ini")->value("lang").toString();
    if (lang.isEmpty())
        lang = askLanguage();
    return lang;
}

static void loadTranslator(QTranslator *&t, const QString &path)
{
    if (!t)
        t = new QTranslator(qApp);
    if (t->load(path, QString(""), QString(""), QString("")))
        QCoreApplication::installTranslator(t);
}

void changeLanguage(MainSingleton *m, QString lang)
{
    if (lang != "en")
        lang = "sk";
    QLocale::setDefault(QLocale(lang));
    Utils::changeConfig([&lang](QSettings &settings) { settings.setValue("lang", lang); });
    for (QTranslator *t : {translator, translatorQtBase, translatorQtMoje})
        if (t)
            QCoreApplication::removeTranslator(t);
    loadTranslator(translator, ":/translations/Kavrel");
    loadTranslator(translatorQtBase, ":/translations/qtbase");
    loadTranslator(translatorQtMoje, ":/translations/qtmoje");
    if (m)
        m->retranslateUi();
}

bool MyApplication::event(QEvent *e)
{
    if (e->type() == QEvent::FileOpen) {
        const QUrl url = static_cast<QFileOpenEvent *>(e)->url();
        qInfo() << "File open" << url;
        new RedirectServer(url.toString(), nullptr);
    }
    return QApplication::event(e);
}
