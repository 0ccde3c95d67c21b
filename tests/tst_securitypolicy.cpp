#include "myapplication.h"
#include "settingsdialog.h"
#include "testsupport.h"
#include "utils.h"

#include <QSettings>
#include <QtTest>

// The policy over real settings files, each case in a home of its own.
class TestSecurityPolicy : public QObject
{
    Q_OBJECT

private slots:
    void firstRequestRemembersAddress();
    void numberingSkipsGaps();
    void firstGroupInNameOrderWins();
    void decision_data();
    void decision();
    void addressesAreNotNormalised();
    void missingConfigDirectoryAllows();
    void labels();

private:
    static bool allowed(const QString &url) { return SettingsDialog::checkApp(url) == LaunchDecision::Allow; }
    static QStringList groups() { return QSettings(Utils::fileConfig(), QSettings::IniFormat).childGroups(); }
    static void write(const QString &key, const QVariant &value)
    {
        QSettings(Utils::fileConfig(), QSettings::IniFormat).setValue(key, value);
    }
    static QVariant read(const QString &key) { return QSettings(Utils::fileConfig(), QSettings::IniFormat).value(key); }
};

void TestSecurityPolicy::firstRequestRemembersAddress()
{
    TestHome home;
    QVERIFY(Utils::createDirConfig());
    const QString a = "https://apps.example/app.jnlp";

    QVERIFY(allowed(a));
    QCOMPARE(groups(), QStringList{"application_0"});
    QSettings s(Utils::fileConfig(), QSettings::IniFormat);
    s.beginGroup("application_0");
    QCOMPARE(s.childKeys(), QStringList{"url"});
    QCOMPARE(s.value("url").toString(), a);
    s.endGroup();

    QVERIFY(allowed(a));
    QCOMPARE(groups(), QStringList{"application_0"});
    QVERIFY(allowed("https://apps.example/other.jnlp"));
    QCOMPARE(groups(), QStringList({"application_0", "application_1"}));
    QCOMPARE(read("application_1/url").toString(), QString("https://apps.example/other.jnlp"));
}

void TestSecurityPolicy::numberingSkipsGaps()
{
    TestHome home;
    QVERIFY(Utils::createDirConfig());
    write("application_3/url", "three");
    write("application_7/url", "seven");
    write("application_x/url", "ex");
    write("application_x/state", "disabled");
    write("applications_40/url", "not ours");
    write("Application_50/url", "not ours either");
    write("settings/disableNativeApps", false);

    {
        QSettings s(Utils::fileConfig(), QSettings::IniFormat);
        QCOMPARE(SettingsDialog::newGroup(s), QString("application_8"));
        QCOMPARE(SettingsDialog::findGroup(s, "ex"), QString("application_x"));
        QCOMPARE(SettingsDialog::findGroup(s, "seven"), QString("application_7"));
        QCOMPARE(SettingsDialog::findGroup(s, "not ours"), QString());
    }
    // newGroup only names the group.
    QVERIFY(!groups().contains("application_8"));

    // The non-numbered group still decides for its address.
    QVERIFY(!allowed("ex"));
    QVERIFY(!groups().contains("application_8"));
    QVERIFY(allowed("not ours"));
    QCOMPARE(read("application_8/url").toString(), QString("not ours"));
    QVERIFY(allowed("new"));
    QCOMPARE(read("application_9/url").toString(), QString("new"));

    TestHome empty;
    QSettings s(Utils::fileConfig(), QSettings::IniFormat);
    QCOMPARE(SettingsDialog::newGroup(s), QString("application_0"));
}

// "application_10" sorts before "application_2" as text.
void TestSecurityPolicy::firstGroupInNameOrderWins()
{
    TestHome home;
    QVERIFY(Utils::createDirConfig());
    write("application_2/url", "dup");
    write("application_2/state", "enabled");
    write("application_10/url", "dup");
    write("application_10/state", "disabled");
    QVERIFY(!allowed("dup"));
    QCOMPARE(groups().size(), 2);
}

void TestSecurityPolicy::decision_data()
{
    QTest::addColumn<QVariant>("state"); // invalid: no group for the address yet
    QTest::addColumn<QVariant>("webStart"); // settings/disableWebStartApps, invalid: unset
    QTest::addColumn<QVariant>("native"); // settings/disableNativeApps, invalid: unset
    QTest::addColumn<int>("decision");
    const int allowed = int(LaunchDecision::Allow), refused = int(LaunchDecision::Refuse),
              ask = int(LaunchDecision::Ask);

    const QVariant none;
    QTest::newRow("new address, switches unset") << none << none << none << allowed;
    QTest::newRow("new address, web start disabled") << none << QVariant(true) << none << refused;
    QTest::newRow("new address, only native disabled") << none << QVariant(false) << QVariant(true) << allowed;
    QTest::newRow("enabled beats the switch") << QVariant("enabled") << QVariant(true) << QVariant(true) << allowed;
    QTest::newRow("disabled without switches") << QVariant("disabled") << none << none << refused;
    QTest::newRow("disabled, switches false") << QVariant("disabled") << QVariant(false) << QVariant(false) << refused;
    QTest::newRow("ask asks, switch off") << QVariant("ask") << QVariant(false) << none << ask;
    QTest::newRow("ask asks, switch on") << QVariant("ask") << QVariant(true) << none << ask;
    QTest::newRow("default, switch on") << QVariant("") << QVariant(true) << none << refused;
    QTest::newRow("default, native switch on") << QVariant("") << none << QVariant(true) << allowed;
    QTest::newRow("unknown text") << QVariant("Enabled") << QVariant(true) << none << refused;
    QTest::newRow("number as state") << QVariant(1) << QVariant(false) << none << allowed;
    QTest::newRow("switch as text") << QVariant("") << QVariant("true") << none << refused;
}

void TestSecurityPolicy::decision()
{
    QFETCH(QVariant, state);
    QFETCH(QVariant, webStart);
    QFETCH(QVariant, native);
    QFETCH(int, decision);

    TestHome home;
    QVERIFY(Utils::createDirConfig());
    const QString url = "https://apps.example/app.jnlp";
    write("application_0/url", "https://apps.example/unrelated.jnlp");
    write("application_0/state", "enabled");
    if (state.isValid()) {
        write("application_4/url", url);
        write("application_4/state", state);
    }
    if (webStart.isValid())
        write("settings/disableWebStartApps", webStart);
    if (native.isValid())
        write("settings/disableNativeApps", native);

    QCOMPARE(SettingsDialog::checkApp(url), LaunchDecision(decision));
    // Refused or not, the address now has exactly one group.
    QSettings s(Utils::fileConfig(), QSettings::IniFormat);
    QCOMPARE(SettingsDialog::findGroup(s, url), QString(state.isValid() ? "application_4" : "application_1"));
    QCOMPARE(s.childGroups().size(), webStart.isValid() || native.isValid() ? 3 : 2);
}

void TestSecurityPolicy::addressesAreNotNormalised()
{
    TestHome home;
    QVERIFY(Utils::createDirConfig());
    write("settings/disableWebStartApps", true);
    write("application_0/url", "https://apps.example/App.jnlp");
    write("application_0/state", "enabled");

    QVERIFY(allowed("https://apps.example/App.jnlp"));
    QVERIFY(!allowed("https://apps.example/app.jnlp"));
    QVERIFY(!allowed("https://apps.example/App.jnlp/"));
    QVERIFY(!allowed("HTTPS://apps.example/App.jnlp"));
    QCOMPARE(read("application_1/url").toString(), QString("https://apps.example/app.jnlp"));
    QCOMPARE(read("application_2/url").toString(), QString("https://apps.example/App.jnlp/"));
    QCOMPARE(read("application_3/url").toString(), QString("HTTPS://apps.example/App.jnlp"));
    QCOMPARE(groups().size(), 5);
}

void TestSecurityPolicy::missingConfigDirectoryAllows()
{
    TestHome home;
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));
    QVERIFY(allowed("https://apps.example/app.jnlp"));
}

void TestSecurityPolicy::labels()
{
    TestHome home;
    QCOMPARE(SettingsDialog::getAppTitle("https://apps.example/app.jnlp"), QString("Aplikácia Java Web Start"));
    QCOMPARE(SettingsDialog::getAppTitle("not an address"), QString("Aplikácia Java Web Start"));

    const QStringList ids = {"enabled", "disabled", "ask", "", "true", "Enabled", "default"};
    const QStringList slovak = {"Povolené", "Zakázané", "Opýtať sa", "Predvolené", "", "", ""};
    const QStringList english = {"Enabled", "Disabled", "Ask", "Default", "", "", ""};
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(SettingsDialog::securityToLabel(ids.at(i)), slovak.at(i));
    QCOMPARE(SettingsDialog::securityToLabel(QString()), QString("Predvolené"));

    changeLanguage(nullptr, "en");
    for (int i = 0; i < ids.size(); ++i)
        QCOMPARE(SettingsDialog::securityToLabel(ids.at(i)), english.at(i));
    // Titles are not translated.
    QCOMPARE(SettingsDialog::getAppTitle("x"), QString("Aplikácia Java Web Start"));
}

QTEST_MAIN(TestSecurityPolicy)
#include "tst_securitypolicy.moc"
