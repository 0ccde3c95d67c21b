#include "messagelog.h"
#include "testsupport.h"
#include "utils.h"

#include <QDir>
#include <QFile>
#include <QTest>

#include <cerrno>
#include <csignal>

#include <sys/resource.h>

class TestUtils : public QObject
{
    Q_OBJECT

private slots:
    void pathsFollowHomeUnchanged_data();
    void pathsFollowHomeUnchanged();
    void certificateFileNames();
    void createDirConfigIsPrivate();
    void readFile();
    void removeFile();
    void writePrivateFileWholeOrNothing();
    void hostnameTable();
    void ipToHostname_data();
    void ipToHostname();
};

void TestUtils::pathsFollowHomeUnchanged_data()
{
    QTest::addColumn<QString>("homeName");
    QTest::newRow("plain") << "home";
    QTest::newRow("spaces and non-ASCII") << "môj domov s medzerou";
}

void TestUtils::pathsFollowHomeUnchanged()
{
    QFETCH(QString, homeName);
    TestHome testHome;
    const QString home = testHome.path() + "/" + homeName;
    QVERIFY(QDir().mkpath(home));
    qputenv("HOME", QFile::encodeName(home));

    const QString dir = home + "/.obrenta/kavrel";
    QCOMPARE(Utils::dirConfig(), dir);
    QCOMPARE(Utils::fileConfig(), dir + "/config.ini");
    QCOMPARE(Utils::fileInstallation(), dir + "/installation.xml");
    QCOMPARE(Utils::fileInstallationTmp(), dir + "/installation.xml.tmp");
    QCOMPARE(Utils::fileLock(), dir + "/Kavrel.lock");
    QCOMPARE(Utils::fileState(), dir + "/Kavrel.state");
    QCOMPARE(Utils::fileStateTmp(), dir + "/Kavrel.state.tmp");
    QCOMPARE(Utils::dirLog(), dir + "/log");
    QCOMPARE(Utils::dirCertificates(), dir + "/certificates");
    QCOMPARE(Utils::fileCertificateCa(), dir + "/certificates/ca.crt");
    // Asking for paths never touches the disk.
    QVERIFY(!QFileInfo::exists(home + "/.obrenta"));

    // The paths are usable as they stand, without quoting.
    QVERIFY(Utils::createDirConfig());
    QVERIFY(TestSupport::writeFile(Utils::fileConfig(), "[General]\nlang=en\n"));
    QCOMPARE(Utils::readFile(Utils::fileConfig()), QByteArray("[General]\nlang=en\n"));
}

void TestUtils::certificateFileNames()
{
    const QString dir = Utils::dirCertificates();
    QCOMPARE(Utils::fileCertificateSsl("127.0.0.1"), dir + "/127.0.0.1.p12");
    QCOMPARE(Utils::fileCertificateSsl("kavrel.localhost"), dir + "/kavrel.localhost.p12");
    QCOMPARE(Utils::fileCertificateSsl("fd6d:c83b:5cef:b6b2::1"), dir + "/fd6d-c83b-5cef-b6b2--1.p12");
    QCOMPARE(Utils::fileCertificateSsl("::1"), dir + "/--1.p12");
}

void TestUtils::createDirConfigIsPrivate()
{
    {
        TestHome home;
        QVERIFY(Utils::createDirConfig());
        QCOMPARE(TestSupport::fileMode(home.path() + "/.obrenta"), 0700);
        QCOMPARE(TestSupport::fileMode(Utils::dirConfig()), 0700);
        // A second call finds everything in place.
        QVERIFY(Utils::createDirConfig());
    }
    {
        // A maker directory that exists already is not ours to change.
        TestHome home;
        QVERIFY(QDir().mkpath(home.path() + "/.obrenta"));
        QVERIFY(QFile::setPermissions(home.path() + "/.obrenta",
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(Utils::createDirConfig());
        QCOMPARE(TestSupport::fileMode(home.path() + "/.obrenta"), 0755);
        QCOMPARE(TestSupport::fileMode(Utils::dirConfig()), 0700);
    }
    {
        // Our own directory, left wider by an older version, is narrowed.
        TestHome home;
        QVERIFY(QDir().mkpath(Utils::dirConfig()));
        QVERIFY(QFile::setPermissions(Utils::dirConfig(),
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                          | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther));
        QVERIFY(Utils::createDirConfig());
        QCOMPARE(TestSupport::fileMode(Utils::dirConfig()), 0700);
    }
    {
        // A file in the way is a failure, not a crash.
        TestHome home;
        QVERIFY(TestSupport::writeFile(home.path() + "/.obrenta", "x"));
        QVERIFY(!Utils::createDirConfig());
    }
}

void TestUtils::readFile()
{
    TestHome home;
    const QString missing = home.path() + "/chýba subor";
    const QString empty = home.path() + "/prazdny";
    const QString full = home.path() + "/plny";
    QVERIFY(TestSupport::writeFile(empty, QByteArray()));
    QVERIFY(TestSupport::writeFile(full, QByteArray("abc\0def", 7)));

    {
        MessageLog catcher;
        QCOMPARE(Utils::readFile(missing), QByteArray());
        QCOMPARE(catcher.messages(),
                 QStringList("Utils::readFile: Nepodarilo sa otvorit subor  \"" + missing
                             + "\" - \"No such file or directory\""));
    }
    {
        MessageLog catcher;
        QCOMPARE(Utils::readFile(empty), QByteArray());
        QCOMPARE(catcher.messages(),
                 QStringList("Utils::readFile: Nepodarilo sa nacitat subor  \"" + empty + "\" - \"Unknown error\""));
    }
    {
        MessageLog catcher;
        QCOMPARE(Utils::readFile(full), QByteArray("abc\0def", 7));
        QCOMPARE(catcher.messages(), QStringList());
    }
    {
        // A directory opens but reads nothing.
        MessageLog catcher;
        QCOMPARE(Utils::readFile(home.path()), QByteArray());
        QCOMPARE(catcher.messages().size(), 1);
    }
}

void TestUtils::removeFile()
{
    TestHome home;
    MessageLog catcher;
    const QString file = home.path() + "/subor";
    QVERIFY(TestSupport::writeFile(file, "x"));
    QVERIFY(Utils::removeFile(file));
    QVERIFY(!QFileInfo::exists(file));
    // Already gone counts as success.
    QVERIFY(Utils::removeFile(file));

    // Something that stays is a failure.
    const QString dir = home.path() + "/adresar";
    QVERIFY(TestSupport::writeFile(dir + "/vnutri", "x"));
    QVERIFY(!Utils::removeFile(dir));
    QVERIFY(QFileInfo::exists(dir));
    QCOMPARE(catcher.messages(), QStringList());
}

void TestUtils::writePrivateFileWholeOrNothing()
{
    TestHome home;
    const QString file = home.path() + "/subor";
    QCOMPARE(Utils::writePrivateFile(file, "prvy"), Utils::Written);
    QCOMPARE(TestSupport::readAll(file), QByteArray("prvy"));
    QCOMPARE(TestSupport::fileMode(file), 0600);

    // A wider file is replaced by an owner-only one.
    QVERIFY(QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadOther));
    QCOMPARE(Utils::writePrivateFile(file, "druhy"), Utils::Written);
    QCOMPARE(TestSupport::readAll(file), QByteArray("druhy"));
    QCOMPARE(TestSupport::fileMode(file), 0600);

    // A write that fails half way (the file size limit here, a full disk
    // elsewhere) leaves the old content and no temporary file.
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit small = {4096, saved.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    const Utils::WriteResult cut = Utils::writePrivateFile(file, QByteArray(100000, 'x'));
    const int error = errno;
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    QCOMPARE(cut, Utils::WriteFailed);
    QCOMPARE(error, EFBIG);
    QCOMPARE(TestSupport::readAll(file), QByteArray("druhy"));
    QCOMPARE(QDir(home.path()).entryList({"subor.*"}, QDir::AllEntries | QDir::System), QStringList());

    // Without replace an existing file stays.
    QCOMPARE(Utils::writePrivateFile(file, "treti", false), Utils::RenameFailed);
    QCOMPARE(errno, EEXIST);
    QCOMPARE(TestSupport::readAll(file), QByteArray("druhy"));
    QCOMPARE(QDir(home.path()).entryList({"subor.*"}, QDir::AllEntries | QDir::System), QStringList());

    QCOMPARE(Utils::writePrivateFile(home.path() + "/chyba/subor", "x"), Utils::OpenFailed);
    QCOMPARE(errno, ENOENT);
}

void TestUtils::hostnameTable()
{
    const QMap<QString, QHostAddress> table = Utils::hostnames();
    QCOMPARE(table.keys(), QStringList("kavrel.localhost"));
    QCOMPARE(table.value("kavrel.localhost"), QHostAddress(QHostAddress::LocalHost));
}

void TestUtils::ipToHostname_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("hostname");
    const QString name = "kavrel.localhost";
    QTest::newRow("address") << "127.0.0.1" << name;
    QTest::newRow("host name") << name << name;
    QTest::newRow("host name in upper case") << "KAVREL.LOCALHOST" << QString();
    QTest::newRow("address as literal name") << "127.0.0.1.ipv6-literal.net" << name;
    QTest::newRow("literal suffix is case-sensitive") << "127.0.0.1.IPV6-LITERAL.NET" << QString();
    QTest::newRow("other IPv4 notation") << "127.000.000.001" << QString();
    QTest::newRow("other loopback") << "127.0.0.2" << QString();
    QTest::newRow("IPv6 address") << "fd6d:c83b:5cef:b6b2::1" << QString();
    QTest::newRow("IPv6 literal name") << "fd6d-c83b-5cef-b6b2--1.ipv6-literal.net" << QString();
    QTest::newRow("IPv6 uncompressed") << "fd6d:c83b:5cef:b6b2:0:0:0:1" << QString();
    QTest::newRow("IPv6 loopback") << "::1" << QString();
    QTest::newRow("IPv4-mapped IPv6") << "::ffff:127.0.0.1" << QString();
    QTest::newRow("empty") << QString() << QString();
    QTest::newRow("garbage") << "kavrel" << QString();
}

void TestUtils::ipToHostname()
{
    QFETCH(QString, text);
    QFETCH(QString, hostname);
    QCOMPARE(Utils::ipToHostname(text), hostname);
}

QTEST_GUILESS_MAIN(TestUtils)
#include "tst_utils.moc"
