#include "certificatedialog.h"
#include "childprocess.h"
#include "mainsingleton.h"
#include "modalwidgets.h"
#include "myapplication.h"
#include "settingsdialog.h"
#include "testsupport.h"
#include "trayiconwindow.h"
#include "utils.h"

#include <QAbstractButton>
#include <QActionGroup>
#include <QApplication>
#include <QContextMenuEvent>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QtTest>

#include <functional>

using namespace TestSupport;

static const QString COMPONENTS = "Network Security Services (https://firefox-source-docs.mozilla.org/security/nss/)\n"
                                  "OpenSSL (https://www.openssl.org/)\n"
                                  "Qt (https://www.qt.io/)\n"
                                  "zlib (https://zlib.net/)";

static QWidget *popup()
{
    return QApplication::activePopupWidget();
}

static QWidget *modal()
{
    return QApplication::activeModalWidget();
}

static QAbstractButton *buttonText(QWidget *box, const QString &text)
{
    for (QAbstractButton *button : box->findChildren<QAbstractButton *>())
        if (button->text() == text)
            return button;
    return nullptr;
}

static QStringList entries(QMenu *menu)
{
    QStringList texts;
    for (QAction *action : menu->actions())
        texts << action->text();
    return texts;
}

static QString checkedLanguage(QMenu *menu)
{
    QActionGroup *group = menu->findChild<QActionGroup *>();
    return group && group->checkedAction() ? group->checkedAction()->data().toString() : QString();
}

static void grab(QWidget *widget, const QString &name)
{
    widget->grab().save(artifactsDir() + "/userinterface-" + name + ".png");
}

// The notice names the CA file and keeps its width.
static void notice(const QString &title, const QString &cancel, const QString &language)
{
    CertificateDialog dialog;
    dialog.show();
    QCOMPARE(dialog.windowTitle(), title);
    QCOMPARE(dialog.findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel)->text(), cancel);
    QCOMPARE(dialog.findChild<QLabel *>("lblPath")->text(), Utils::fileCertificateCa());
    QCOMPARE(dialog.minimumWidth(), 718);
    QCOMPARE(dialog.maximumWidth(), 718);
    grab(&dialog, "notice-" + language);
}

class TestUserInterface : public QObject
{
    Q_OBJECT

private slots:
    void menuAboutLogAndLanguage();
    void realWindows_data();
    void realWindows();

private:
    // A right-click on the fallback window's text; returns when the menu closes.
    void rightClick();
    // Picks the menu entry with this mnemonic letter, as a user's key press would.
    void choose(QChar mnemonic);
    void aboutThenLog(const QString &details, const QString &showLog, const QString &logTitle);

    TrayIconWindow *window = nullptr;
};

void TestUserInterface::rightClick()
{
    QLabel *label = window->findChild<QLabel *>("label");
    QContextMenuEvent event(QContextMenuEvent::Mouse, label->rect().center());
    QApplication::sendEvent(label, &event);
}

void TestUserInterface::choose(QChar mnemonic)
{
    whenVisible(popup, [mnemonic](QWidget *menu) { QTest::keyClick(menu, mnemonic.toLatin1()); });
    rightClick();
}

// The about box lists what this build contains; its second button opens the log.
void TestUserInterface::aboutThenLog(const QString &details, const QString &showLog, const QString &logTitle)
{
    QString seenDetails, logSeen;
    bool detailsButton = false;
    whenVisible(modal, [&](QWidget *widget) {
        QMessageBox *box = qobject_cast<QMessageBox *>(widget);
        QVERIFY(box);
        seenDetails = box->detailedText();
        detailsButton = buttonText(box, details) != nullptr;
        grab(box, "about-" + logTitle);
        whenVisible([box] { return modal() != box ? modal() : nullptr; },
                    [&](QWidget *logs) {
                        logSeen = logs->windowTitle();
                        QVERIFY(logs->findChild<QPlainTextEdit *>()->lineWrapMode() == QPlainTextEdit::NoWrap);
                        grab(logs, "log-" + logTitle);
                        QTest::mouseClick(logs->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok),
                                          Qt::LeftButton);
                    });
        QTest::mouseClick(buttonText(box, showLog), Qt::LeftButton);
    });
    choose(showLog == "Show log..." ? 'a' : 'o');
    QTRY_COMPARE(logSeen, logTitle);
    QVERIFY2(detailsButton, qPrintable(details));
    QVERIFY2(seenDetails.endsWith(COMPONENTS), qPrintable(seenDetails));
}

// Without a system tray the fallback window carries the menu: about box and
// log in Slovak, the switch to English, the same in English.
void TestUserInterface::menuAboutLogAndLanguage()
{
    TestHome home;
    storeLanguage("sk");
    changeLanguage(nullptr, "sk");
    MainSingleton agent;
    agent.installTrayIcon();
    window = agent.findChild<TrayIconWindow *>();
    QVERIFY(window && window->isVisible());
    QCOMPARE(window->windowTitle(), QString("Kavrel"));
    grab(window, "fallback-sk");
    QMenu *menu = agent.findChild<QMenu *>(QString(), Qt::FindDirectChildrenOnly);
    QCOMPARE(entries(menu),
             QStringList({"&Reinštalácia aplikácie", "&Jazyk", "&Nastavenia", "&O aplikácii", "", "&Ukončiť"}));
    QCOMPARE(checkedLanguage(menu), QString("sk"));

    aboutThenLog("Zobraziť detaily…", "Zobraziť denník...", "Denník");
    notice("Inštalácia certifikátu", "Zrušiť", "sk");

    whenVisible(popup, [](QWidget *top) {
        whenVisible([top] { return popup() != top ? popup() : nullptr; },
                    [](QWidget *languages) {
                        QMenu *submenu = qobject_cast<QMenu *>(languages);
                        QCOMPARE(entries(submenu), QStringList({"English", "Slovenský"}));
                        submenu->setActiveAction(submenu->actions().first());
                        QTest::keyClick(submenu, Qt::Key_Return);
                    });
        QTest::keyClick(top, 'j');
    });
    rightClick();
    QCOMPARE(QSettings(Utils::fileConfig(), QSettings::IniFormat).value("lang").toString(), QString("en"));
    QCOMPARE(entries(menu), QStringList({"&Reinstall application", "&Language", "&Settings", "&About", "", "&Quit"}));
    QCOMPARE(checkedLanguage(menu), QString("en"));
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QCOMPARE(menu->findChildren<QActionGroup *>().size(), 1);
    QCOMPARE(menu->findChildren<QMenu *>().size(), 1);

    aboutThenLog("Show Details...", "Show log...", "Log");
    notice("Certificate installation", "Cancel", "en");

    // The settings entry opens the dialog, in the language now chosen.
    QString settingsTitle;
    whenVisible(modal, [&](QWidget *dialog) {
        settingsTitle = dialog->windowTitle();
        grab(dialog, "settings-en");
        QTest::mouseClick(dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Cancel), Qt::LeftButton);
    });
    choose('s');
    QCOMPARE(settingsTitle, QString("Settings"));
    changeLanguage(nullptr, "sk");
}

void TestUserInterface::realWindows_data()
{
    QTest::addColumn<bool>("systemTray");
    QTest::newRow("fallback window") << false;
    QTest::newRow("system tray") << true;
}

// The agent under X as a user meets it: the icon in a real tray, or the
// fallback window where there is none; its menu opens the settings and quits.
void TestUserInterface::realWindows()
{
    QFETCH(bool, systemTray);
    Xvfb display;
    QVERIFY(display.isRunning());
    ChildProcess tray;
    if (systemTray) {
        tray.setProcessEnvironment(display.environment());
        tray.start("trayer",
                   {"--edge", "top", "--align", "right", "--widthtype", "pixel", "--width", "200", "--height", "24"});
        QVERIFY(tray.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(!display.windowsOf(tray.processId(), 0).isEmpty(), 20000);
    }
    TestHome home;
    seedAgentHome();
    QProcessEnvironment env = display.environment();
    env.insert("PATH", pathWithHelpers());
    ChildProcess agent;
    agent.setProcessEnvironment(env);
    agent.start(kavrelPath(), {"-s"});
    QVERIFY(agent.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo::exists(Utils::fileState()), 60000);
    const QStringList windows = display.windowsOf(agent.processId());
    QCOMPARE(windows.size(), 1);
    const QString icon = windows.first();
    QCOMPARE(display.windowName(icon), QString("Kavrel"));
    // A tray icon is a few pixels square; the fallback window is a window.
    QCOMPARE(display.windowSize(icon).width() < 64, systemTray);
    display.screenshot(QString("userinterface-x-") + (systemTray ? "tray" : "fallback"));

    const auto others = [&]() {
        QStringList shown = display.windowsOf(agent.processId(), 0);
        shown.removeAll(icon);
        return shown;
    };
    const auto openMenu = [&]() {
        QVERIFY(display.click(icon, 3));
        QTRY_COMPARE_WITH_TIMEOUT(others().size(), 1, 20000);
    };
    openMenu();
    display.screenshot(QString("userinterface-x-menu-") + (systemTray ? "tray" : "fallback"));
    QVERIFY(display.key("n"));
    QStringList settings;
    QTRY_VERIFY_WITH_TIMEOUT((settings = others()).size() == 1 && display.windowName(settings.first()) != "Kavrel",
                             20000);
    QCOMPARE(display.windowName(settings.first()), QString("Nastavenia"));
    display.screenshot("userinterface-x-settings");
    QVERIFY(display.pressKey(settings.first(), "Escape"));
    QTRY_VERIFY_WITH_TIMEOUT(others().isEmpty(), 20000);

    openMenu();
    QVERIFY(display.key("u"));
    QVERIFY2(agent.ended(), qPrintable(agent.errText()));
    QCOMPARE(agent.exitStatus(), QProcess::NormalExit);
    QCOMPARE(agent.exitCode(), 0);
    QVERIFY(!QFileInfo::exists(Utils::fileLock()));
    QVERIFY(!QFileInfo::exists(Utils::fileState()));
}

QTEST_MAIN(TestUserInterface)
#include "tst_userinterface.moc"
