#include "logger.h"
#include "modalwidgets.h"
#include "qmessageboxresize.h"
#include "testsupport.h"
#include "utils.h"

#include <QAbstractTextDocumentLayout>
#include <QApplication>
#include <QPushButton>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTextEdit>
#include <QTimer>

#include <functional>

static const int QWIDGETSIZE = 16777215;

// What the user saw in a box before answering it.
struct Seen
{
    bool found = false;
    QString className;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QString title, text, informative, details;
    QMessageBox::StandardButtons buttons;
    bool okIsDefault = false;
    bool okIsEscape = false;
    int width = 0;
    QTextOption::WrapMode wrap = QTextOption::WrapAtWordBoundaryOrAnywhere;
    int longLineLines = -1;
    int horizontalScroll = 0;
};

// Waits for the modal box, lets inspect() look at it and answers it with answer().
static void whenModalBox(const std::function<void(QMessageBox *)> &inspect,
                         const std::function<void(QMessageBox *)> &answer)
{
    TestSupport::whenVisible([] { return qobject_cast<QMessageBox *>(QApplication::activeModalWidget()); },
                             [inspect, answer](QWidget *widget) {
                                 QMessageBox *box = static_cast<QMessageBox *>(widget);
                                 inspect(box);
                                 answer(box);
                             });
}

static void clickOk(QMessageBox *box)
{
    QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
}

static QAbstractButton *detailsButton(QMessageBox *box)
{
    for (QAbstractButton *button : box->buttons())
        if (box->buttonRole(button) == QMessageBox::ActionRole)
            return button;
    return nullptr;
}

static void look(QMessageBox *box, Seen &seen, const QString &longLine = QString())
{
    seen.found = true;
    seen.className = box->metaObject()->className();
    seen.icon = box->icon();
    seen.title = box->windowTitle();
    seen.text = box->text();
    seen.informative = box->informativeText();
    seen.details = box->detailedText();
    seen.buttons = box->standardButtons();
    seen.okIsDefault = box->defaultButton() == box->button(QMessageBox::Ok);
    seen.okIsEscape = box->escapeButton() == box->button(QMessageBox::Ok);
    seen.width = box->width();
    QTextEdit *edit = box->findChild<QTextEdit *>();
    if (!edit)
        return;
    seen.wrap = edit->wordWrapMode();
    if (longLine.isEmpty())
        return;
    if (QAbstractButton *show = detailsButton(box))
        QTest::mouseClick(show, Qt::LeftButton);
    for (QTextBlock block = edit->document()->begin(); block.isValid(); block = block.next()) {
        if (!block.text().contains(longLine))
            continue;
        edit->document()->documentLayout()->blockBoundingRect(block);
        seen.longLineLines = block.layout()->lineCount();
    }
    seen.horizontalScroll = edit->horizontalScrollBar()->maximum();
}

class TestMessageBoxes : public QObject
{
    Q_OBJECT

private slots:
    void emptyLogEmptyDetails();
    void detailsAreTheLogUnwrapped();
    void threeKinds_data();
    void threeKinds();
    void disableWrapping();
    void resizeBox();
};

// Runs first: nothing has gone through the log handler yet.
void TestMessageBoxes::emptyLogEmptyDetails()
{
    QVERIFY(Logger::getMessages().isEmpty());
    Seen seen;
    QString editText;
    whenModalBox(
        [&](QMessageBox *box) {
            look(box, seen);
            for (QTextEdit *edit : box->findChildren<QTextEdit *>())
                editText += edit->toPlainText();
        },
        clickOk);
    Utils::showInfoMessage("Prazdny dennik");
    QVERIFY(seen.found);
    QCOMPARE(seen.text, QString("Prazdny dennik"));
    QCOMPARE(seen.details, QString());
    QCOMPARE(editText, QString());
}

void TestMessageBoxes::detailsAreTheLogUnwrapped()
{
    const QMessageLogContext none;
    const QString longLine = "dlhy riadok " + QString(3000, 'x');
    Logger::messageHandler(QtInfoMsg, none, "starsi");
    Logger::messageHandler(QtWarningMsg, none, longLine);
    Logger::messageHandler(QtDebugMsg, none, "novsi");
    const QString expected = Logger::getMessages();
    QVERIFY(expected.startsWith("[D] novsi (:0, )\n[W] " + longLine + " (:0, )\n[I] starsi (:0, )\n"));

    Seen seen;
    whenModalBox([&](QMessageBox *box) { look(box, seen, longLine); }, clickOk);
    Utils::showWarningMessage(QString::fromUtf8("Varovanie č. 1"), "Podrobnosti");
    QVERIFY(seen.found);
    QCOMPARE(seen.className, QString("QMessageBoxResize"));
    QCOMPARE(seen.icon, QMessageBox::Warning);
    QCOMPARE(seen.title, QString());
    QCOMPARE(seen.text, QString::fromUtf8("Varovanie č. 1"));
    QCOMPARE(seen.informative, QString("Podrobnosti"));
    QCOMPARE(seen.details, expected);
    QCOMPARE(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    QVERIFY(seen.okIsDefault);
    QVERIFY(seen.okIsEscape);
    QVERIFY(seen.width >= 800);
    QCOMPARE(seen.wrap, QTextOption::NoWrap);
    QCOMPARE(seen.longLineLines, 1);
    QVERIFY(seen.horizontalScroll > 0);
}

void TestMessageBoxes::threeKinds_data()
{
    QTest::addColumn<int>("kind");
    QTest::addColumn<QMessageBox::Icon>("icon");
    QTest::addColumn<bool>("escape");
    QTest::newRow("warning") << 0 << QMessageBox::Warning << true;
    QTest::newRow("information") << 1 << QMessageBox::Information << false;
    QTest::newRow("error") << 2 << QMessageBox::Critical << true;
}

void TestMessageBoxes::threeKinds()
{
    QFETCH(int, kind);
    QFETCH(QMessageBox::Icon, icon);
    QFETCH(bool, escape);
    Seen seen;
    whenModalBox([&](QMessageBox *box) { look(box, seen); },
                 [escape](QMessageBox *box) {
                     if (escape)
                         QTest::keyClick(box, Qt::Key_Escape);
                     else
                         clickOk(box);
                 });
    const QString text = QString("sprava %1").arg(kind);
    if (kind == 0)
        Utils::showWarningMessage(text);
    else if (kind == 1)
        Utils::showInfoMessage(text);
    else
        Utils::showErrorMessage(text);
    QVERIFY(seen.found);
    QCOMPARE(seen.icon, icon);
    QCOMPARE(seen.text, text);
    QCOMPARE(seen.informative, QString());
    QCOMPARE(seen.details, Logger::getMessages());
    QCOMPARE(seen.wrap, QTextOption::NoWrap);
}

void TestMessageBoxes::disableWrapping()
{
    QMessageBox box;
    box.setText("text");
    box.setDetailedText("riadok");
    QTextEdit *edit = box.findChild<QTextEdit *>();
    QVERIFY(edit);
    QVERIFY(edit->wordWrapMode() != QTextOption::NoWrap);
    Utils::disableQMessageBoxWrapping(box);
    QCOMPARE(edit->wordWrapMode(), QTextOption::NoWrap);

    // Only the detail area is touched.
    QMessageBox other;
    QTextEdit own(&other);
    own.setWordWrapMode(QTextOption::WordWrap);
    Utils::disableQMessageBoxWrapping(other);
    QCOMPARE(own.wordWrapMode(), QTextOption::WordWrap);
}

void TestMessageBoxes::resizeBox()
{
    // Icon and informative text make the base box rebuild its layout.
    QMessageBoxResize box;
    box.setIcon(QMessageBox::Information);
    box.setText("Kratky text");
    box.setInformativeText("Info");
    box.setDetailedText("riadok 1\nriadok 2\n");
    QCOMPARE(box.windowModality(), Qt::ApplicationModal);
    QVERIFY(box.isSizeGripEnabled());
    box.show();
    QVERIFY(QTest::qWaitForWindowExposed(&box));
    QVERIFY(box.width() >= 800);

    QAbstractButton *show = detailsButton(&box);
    QVERIFY(show);
    QTest::mouseClick(show, Qt::LeftButton);
    QTextEdit *edit = box.findChild<QTextEdit *>();
    QVERIFY(edit && edit->isVisible());
    const QSize before = box.size();
    const int editBefore = edit->height();
    QCOMPARE(box.maximumSize(), before);
    QVERIFY(edit->maximumHeight() < QWIDGETSIZE);

    QTest::mousePress(&box, Qt::LeftButton, {}, QPoint(box.width() - 2, box.height() - 2));
    QCOMPARE(box.maximumSize(), QSize(QWIDGETSIZE, QWIDGETSIZE));
    QCOMPARE(edit->maximumHeight(), QWIDGETSIZE);
    // What dragging the size grip does.
    const QSize larger = before + QSize(200, 300);
    box.resize(larger);
    QTest::mouseRelease(&box, Qt::LeftButton, {}, QPoint(box.width() - 2, box.height() - 2));
    QTRY_COMPARE(box.size(), larger);
    QTRY_VERIFY(edit->height() > editBefore);
}

QTEST_MAIN(TestMessageBoxes)
#include "tst_messageboxes.moc"
