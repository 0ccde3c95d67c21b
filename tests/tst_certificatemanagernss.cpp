#include "certificategenerator.h"
#include "certificatemanagernss.h"
#include "messagelog.h"
#include "testsupport.h"
#include "utils.h"

#include <QApplication>
#include <QDir>
#include <QMessageBox>
#include <QPushButton>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QTimer>
#include <QtTest>

static QString certutil(const QStringList &args, int *code)
{
    return TestSupport::runTool(QCoreApplication::applicationDirPath() + "/certutil/certutil", args, code);
}

// Sorted nicknames of a database; a listing row is the nickname, spaces and the trust string.
static QStringList nicknames(const QString &dir)
{
    static const QRegularExpression row("^(\\S.*\\S)\\s+\\S*,\\S*,\\S*$");
    int code = -1;
    const QString listing = certutil({"-L", "-d", "sql:" + dir}, &code);
    if (code != 0)
        return {listing};
    QStringList names;
    for (const QString &line : listing.split('\n'))
        if (row.match(line.trimmed()).hasMatch())
            names << row.match(line.trimmed()).captured(1);
    names.sort();
    return names;
}

class TestCertificateManagerNss : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY(CertificateGenerator().generate());
        ca = Utils::readFile(Utils::fileCertificateCa());
        caName = QSslCertificate(ca).subjectInfo(QSslCertificate::CommonName).value(0);
        QVERIFY(QRegularExpression("^Obrenta Kavrel CA \\d{14}$").match(caName).hasMatch());
    }
    void missingAndFailingDatabases();
    void storesOfTodaysBrowsers();
    void listedButNotTrusted();

private:
    void makeDatabase(const QString &dir)
    {
        int code = -1;
        QVERIFY(QDir().mkpath(dir));
        certutil({"-N", "--empty-password", "-d", "sql:" + dir}, &code);
        QCOMPARE(code, 0);
    }

    QByteArray ca;
    QString caName;
};

void TestCertificateManagerNss::missingAndFailingDatabases()
{
    TestHome home;
    CertificateManagerNss manager;
    {
        MessageLog log;
        QVERIFY(manager.checkCertificate(ca));
        QVERIFY(manager.addCertificate(ca));
        QVERIFY(manager.removeCertificates(QByteArray()));
        QCOMPARE(log.warnings(), QStringList());
    }
    const QString shared = home.path() + "/.pki/nssdb", firefox = home.path() + "/.mozilla/firefox";
    makeDatabase(shared);

    // An unopenable profiles.ini: the user is told, and the shared database still gets the CA.
    QVERIFY(QDir().mkpath(firefox + "/profiles.ini"));
    QString boxText;
    QTimer poll;
    connect(&poll, &QTimer::timeout, [&] {
        QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box && box->isVisible()) {
            poll.stop();
            boxText = box->text();
            QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
        }
    });
    poll.start(10);
    QVERIFY(manager.addCertificate(ca));
    QCOMPARE(boxText, QString("Nepodarilo sa otvoriť súbor s profilmi prehliadača Mozilla Firefox."));
    QCOMPARE(nicknames(shared), QStringList{caName});

    // A broken database fails alone; the profile after it is still served.
    QVERIFY(QDir(firefox).rmdir("profiles.ini"));
    QVERIFY(TestSupport::writeFile(firefox + "/profiles.ini",
                                   "[Profile0]\nIsRelative=1\nPath=broken\n[Profile1]\nIsRelative=1\nPath=good\n"));
    QVERIFY(QDir().mkpath(firefox + "/broken"));
    QVERIFY(TestSupport::writeFile(firefox + "/broken/cert9.db", "not a database"));
    makeDatabase(firefox + "/good");
    MessageLog log;
    QVERIFY(!manager.addCertificate(ca));
    QCOMPARE(nicknames(firefox + "/good"), QStringList{caName});
    QCOMPARE(log.warnings().filter("certifikat"),
             QStringList{
                 QString("\"Nepodarilo sa pridat certifikat Nickname: %1, DB: %2\"").arg(caName, firefox + "/broken")});
    QVERIFY(!manager.checkCertificate(ca));
}

// Newer Chromium and Firefox, and their snap and flatpak builds, keep their
// stores elsewhere; a store reached twice is worked on once.
void TestCertificateManagerNss::storesOfTodaysBrowsers()
{
    TestHome home;
    const QString h = home.path(), config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString firefox = config + "/mozilla/firefox", snap = h + "/snap/firefox/common/.mozilla/firefox",
                  flatpak = h + "/.var/app/org.mozilla.firefox", broken = h + "/broken";
    const QStringList databases = {qEnvironmentVariable("XDG_DATA_HOME") + "/pki/nssdb", firefox + "/abc.default-esr",
                                   snap + "/snap.default", flatpak + "/.mozilla/firefox/flat.default",
                                   h + "/snap/chromium/2345/.pki/nssdb"};
    for (const QString &dir : databases)
        makeDatabase(dir);
    QVERIFY(QFile::link(h + "/snap/chromium/2345", h + "/snap/chromium/current"));
    QVERIFY(TestSupport::writeFile(broken + "/cert9.db", "not a database"));
    const QByteArray brokenProfile = "[Profile9]\nIsRelative=0\nPath=" + broken.toUtf8() + "\n";
    QVERIFY(TestSupport::writeFile(firefox + "/profiles.ini",
                                   "[Profile0]\nIsRelative=1\nPath=abc.default-esr\n" + brokenProfile));
    QVERIFY(TestSupport::writeFile(snap + "/profiles.ini", "[Profile0]\nIsRelative=1\nPath=snap.default\n"));
    QVERIFY(TestSupport::writeFile(flatpak + "/.mozilla/firefox/profiles.ini",
                                   "[Profile0]\nIsRelative=1\nPath=flat.default\n"));
    QVERIFY(TestSupport::writeFile(flatpak + "/config/mozilla/firefox/profiles.ini", brokenProfile));

    CertificateManagerNss manager;
    MessageLog log;
    QVERIFY(!manager.addCertificate(ca));
    QCOMPARE(log.warnings().filter("Nepodarilo sa pridat").size(), 1);
    for (const QString &dir : databases)
        QCOMPARE(nicknames(dir), QStringList{caName});
    QVERIFY(QDir(broken).removeRecursively());
    QVERIFY(manager.checkCertificate(ca));
    QVERIFY(manager.removeCertificates(QByteArray()));
    for (const QString &dir : databases)
        QCOMPARE(nicknames(dir), QStringList());
}

// A CA without the trust to issue server certificates is as good as none:
// the check fails, and an entry the agent cannot trust is not left behind.
void TestCertificateManagerNss::listedButNotTrusted()
{
    TestHome home;
    const QString shared = home.path() + "/.pki/nssdb";
    makeDatabase(shared);
    int code = -1;
    // Listed with empty trust, as a failed add leaves it.
    QVERIFY(TestSupport::writeFile(home.path() + "/ca.crt", ca));
    certutil({"-A", "-t", ",,", "-n", caName, "-i", home.path() + "/ca.crt", "-d", "sql:" + shared}, &code);
    QCOMPARE(code, 0);
    QCOMPARE(nicknames(shared), QStringList{caName});
    CertificateManagerNss manager;
    QVERIFY(!manager.checkCertificate(ca));
    // Removing the others takes the untrusted current one too; added anew it is trusted.
    QVERIFY(manager.removeCertificates(ca));
    QCOMPARE(nicknames(shared), QStringList());
    QVERIFY(manager.addCertificate(ca));
    QVERIFY(certutil({"-L", "-d", "sql:" + shared}, &code).contains(QRegularExpression(caName + "\\s+C,,")));
    QVERIFY(manager.checkCertificate(ca));

    // A store with a password: certutil takes the certificate but not its
    // trust, and fails. The add fails as before, and the entry goes again.
    QVERIFY(QDir(shared).removeRecursively());
    QVERIFY(QDir().mkpath(shared));
    QVERIFY(TestSupport::writeFile(home.path() + "/password", "secret\n"));
    certutil({"-N", "-f", home.path() + "/password", "-d", "sql:" + shared}, &code);
    QCOMPARE(code, 0);
    MessageLog log;
    QVERIFY(!manager.addCertificate(ca));
    QCOMPARE(log.warnings().filter("certifikat"),
             QStringList(
                 {QString("\"Nepodarilo sa pridat certifikat Nickname: %1, DB: %2\"").arg(caName, shared),
                  QString("\"Odstranujem neduveryhodny certifikat Nickname: %1, DB: %2\"").arg(caName, shared)}));
    QCOMPARE(nicknames(shared), QStringList());
    QVERIFY(!manager.checkCertificate(ca));
}

QTEST_MAIN(TestCertificateManagerNss)
#include "tst_certificatemanagernss.moc"
