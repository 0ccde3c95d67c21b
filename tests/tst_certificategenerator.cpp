#include "certificategenerator.h"
#include "testsupport.h"
#include "utils.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QtTest>

#include <cerrno>
#include <csignal>
#include <cstring>

#include <sys/resource.h>

namespace {

QString openssl(const QStringList &args, int *exitCode = nullptr)
{
    return TestSupport::runTool("openssl", args, exitCode);
}

QString line(const QString &text, const QString &prefix)
{
    for (const QString &l : text.split('\n'))
        if (l.startsWith(prefix))
            return l.mid(prefix.size()).trimmed();
    return QString();
}

// Made a day early for a client's slower clock and lasting fifty years; the
// end, past 2049, in GeneralizedTime as clients need it.
void checkValidity(const QString &pem, const QDateTime &madeAfter, const QDateTime &madeBefore)
{
    const QString dates = openssl({"x509", "-in", pem, "-noout", "-dates", "-dateopt", "iso_8601"});
    const QDateTime start = QDateTime::fromString(line(dates, "notBefore=").replace(' ', 'T'), Qt::ISODate);
    const QDateTime end = QDateTime::fromString(line(dates, "notAfter=").replace(' ', 'T'), Qt::ISODate);
    QVERIFY2(start >= madeAfter.addDays(-1) && start <= madeBefore.addDays(-1), qPrintable(dates));
    QCOMPARE(end, start.addYears(50));
    // Only the certificate, without what a PKCS#12 export writes around it.
    openssl({"x509", "-in", pem, "-out", pem + ".der", "-outform", "DER"});
    const QString asn1 = openssl({"asn1parse", "-inform", "DER", "-in", pem + ".der"});
    QVERIFY2(asn1.contains("UTCTIME           :" + start.toUTC().toString("yyMMddHHmmss") + "Z")
                 && asn1.contains("GENERALIZEDTIME   :" + end.toUTC().toString("yyyyMMddHHmmss") + "Z"),
             qPrintable(asn1));
}

QString systemError(int code)
{
    return QString::fromLocal8Bit(strerror(code));
}

} // namespace

class TestCertificateGenerator : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void caCertificate();
    void serverCertificates_data();
    void serverCertificates();
    void fileModes();
    void checkLoadsEveryFile();
    void removeDeletesOnlyCertificateFiles();
    void unwritableFilesAreLoggedAndSkipped();
    void uncreatableDirectoryEndsTheProgram_data();
    void uncreatableDirectoryEndsTheProgram();
    void importGeneratedFile();
    void importFailures_data();
    void importFailures();
    void importOtherKeyTypes_data();
    void importOtherKeyTypes();
    void importIgnoresFurtherCertificates();

private:
    QString fixture(const QString &name) const { return fixtures.path() + "/" + name; }
    void makeFixtureContainer(const QString &name, const QStringList &newKey, const QString &subject)
    {
        TestSupport::makeContainer(fixtures.path(), name, newKey, subject, "kretu");
    }

    QTemporaryDir fixtures;
    QDateTime generatedAfter;
    QDateTime generatedBefore;
};

void TestCertificateGenerator::initTestCase()
{
    QVERIFY(fixtures.isValid());
    QVERIFY(!QFileInfo::exists(Utils::dirConfig()));

    generatedAfter = QDateTime::currentDateTime();
    generatedAfter.setTime(
        QTime(generatedAfter.time().hour(), generatedAfter.time().minute(), generatedAfter.time().second()));
    CertificateGenerator generator;
    QVERIFY(generator.generate());
    generatedBefore = QDateTime::currentDateTime();

    int code = -1;
    openssl({"genpkey", "-genparam", "-algorithm", "DSA", "-pkeyopt", "dsa_paramgen_bits:2048", "-out",
             fixture("dsa.params")},
            &code);
    QCOMPARE(code, 0);
    makeFixtureContainer("rsa", {"-newkey", "rsa:2048"}, "/CN=leaf.test");
    makeFixtureContainer("ec", {"-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256"}, "/CN=ec.test");
    makeFixtureContainer("dsa", {"-newkey", "dsa:" + fixture("dsa.params")}, "/CN=dsa.test");
    makeFixtureContainer("ed25519", {"-newkey", "ed25519"}, "/CN=ed.test");

    openssl({"pkcs12", "-export", "-nokeys", "-in", fixture("rsa.crt"), "-out", fixture("nokey.p12"), "-passout",
             "pass:kretu"},
            &code);
    QCOMPARE(code, 0);
    openssl({"pkcs12", "-export", "-nocerts", "-inkey", fixture("rsa.key"), "-out", fixture("nocert.p12"), "-passout",
             "pass:kretu"},
            &code);
    QCOMPARE(code, 0);
    openssl({"pkcs12", "-export", "-inkey", fixture("rsa.key"), "-in", fixture("rsa.crt"), "-certfile",
             Utils::fileCertificateCa(), "-out", fixture("withca.p12"), "-passout", "pass:kretu"},
            &code);
    QCOMPARE(code, 0);
    QVERIFY(TestSupport::writeFile(fixture("empty.p12"), QByteArray()));
    QVERIFY(TestSupport::writeFile(fixture("text.p12"), "This is not a certificate container.\n"));
}

void TestCertificateGenerator::caCertificate()
{
    const QString ca = Utils::fileCertificateCa();
    int code = -1;
    // Names in the form of RFC 2253: each OpenSSL spaces its own default form differently.
    const QString fields = openssl({"x509", "-in", ca, "-noout", "-nameopt", "RFC2253", "-subject", "-issuer",
                                    "-serial", "-dates", "-ext", "basicConstraints,keyUsage"},
                                   &code);
    QCOMPARE(code, 0);

    const QRegularExpressionMatch name = QRegularExpression("^subject=CN=Obrenta Kavrel CA (\\d{14})$",
                                                            QRegularExpression::MultilineOption)
                                             .match(fields);
    QVERIFY2(name.hasMatch(), qPrintable(fields));
    const QDateTime stamp = QDateTime::fromString(name.captured(1), "yyyyMMddhhmmss");
    QVERIFY(stamp >= generatedAfter && stamp <= generatedBefore);
    QCOMPARE(line(fields, "issuer="), "CN=Obrenta Kavrel CA " + name.captured(1));
    QCOMPARE(line(fields, "serial="), QString("00"));
    checkValidity(ca, generatedAfter, generatedBefore);
    QVERIFY2(fields.contains("X509v3 Basic Constraints: \n    CA:TRUE\n"), qPrintable(fields));
    QVERIFY2(fields.contains("X509v3 Key Usage: \n    Certificate Sign\n"), qPrintable(fields));

    const QString text = openssl({"x509", "-in", ca, "-noout", "-text"});
    QVERIFY(text.contains("Version: 3 (0x2)"));
    QVERIFY(text.contains("Signature Algorithm: sha256WithRSAEncryption"));
    QVERIFY(text.contains("Public-Key: (2048 bit)"));
    QVERIFY(text.contains("Exponent: 65537 (0x10001)"));
    QCOMPARE(text.count("X509v3 "), 3); // the "X509v3 extensions:" heading and the two above

    openssl({"verify", "-CAfile", ca, ca}, &code);
    QCOMPARE(code, 0);

    // One certificate in PEM armour and nothing else: no key ever reaches the disk.
    const QByteArray pem = TestSupport::readAll(ca);
    QVERIFY2(QRegularExpression("^-----BEGIN CERTIFICATE-----\n([A-Za-z0-9+/]{64}\n)*[A-Za-z0-9+/=]{1,64}\n"
                                "-----END CERTIFICATE-----\n$")
                 .match(QString::fromLatin1(pem))
                 .hasMatch(),
             pem.constData());
}

void TestCertificateGenerator::serverCertificates_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("san");
    QTest::addColumn<QStringList>("verifyName");
    QTest::newRow("host name") << "kavrel.localhost"
                               << "DNS:kavrel.localhost, IP Address:127.0.0.1"
                               << QStringList{"-verify_hostname", "kavrel.localhost"};
    QTest::newRow("address") << "127.0.0.1"
                             << "IP Address:127.0.0.1" << QStringList{"-verify_ip", "127.0.0.1"};
}

void TestCertificateGenerator::serverCertificates()
{
    QFETCH(QString, name);
    QFETCH(QString, san);
    QFETCH(QStringList, verifyName);
    const QString p12 = Utils::dirCertificates() + "/" + name + ".p12";
    QVERIFY(QFileInfo::exists(p12));
    QTemporaryDir work;
    const QString certPem = work.path() + "/cert.pem";
    const QString keyPem = work.path() + "/key.pem";

    int code = -1;
    const QString info = openssl({"pkcs12", "-in", p12, "-passin", "pass:kretu", "-nokeys", "-info", "-out", certPem},
                                 &code);
    QVERIFY2(code == 0, qPrintable(info));
    const QString certs = QString::fromLatin1(TestSupport::readAll(certPem));
    QCOMPARE(certs.count("BEGIN CERTIFICATE"), 1); // no CA inside
    QVERIFY2(certs.contains("friendlyName: " + name + "\n"), qPrintable(certs));

    openssl({"pkcs12", "-in", p12, "-passin", "pass:wrong", "-nokeys", "-noout"}, &code);
    QVERIFY(code != 0);
    openssl({"pkcs12", "-in", p12, "-passin", "pass:kretu", "-nocerts", "-nodes", "-out", keyPem}, &code);
    QCOMPARE(code, 0);

    const QString fields = openssl(
        {"x509", "-in", certPem, "-noout", "-nameopt", "RFC2253", "-subject", "-issuer", "-serial", "-dates"});
    const QString caSubject =
        line(openssl({"x509", "-in", Utils::fileCertificateCa(), "-noout", "-nameopt", "RFC2253", "-subject"}),
             "subject=");
    QCOMPARE(line(fields, "subject="), "CN=" + name);
    QCOMPARE(line(fields, "issuer="), caSubject);
    QCOMPARE(line(fields, "serial="), QString("01"));
    // Exactly the CA's validity.
    const QString dates = openssl({"x509", "-in", certPem, "-noout", "-dates"});
    QCOMPARE(dates, openssl({"x509", "-in", Utils::fileCertificateCa(), "-noout", "-dates"}));
    checkValidity(certPem, generatedAfter, generatedBefore);

    const QString text = openssl({"x509", "-in", certPem, "-noout", "-text"});
    QVERIFY(text.contains("Version: 3 (0x2)"));
    QVERIFY(text.contains("Signature Algorithm: sha256WithRSAEncryption"));
    QVERIFY(text.contains("Public-Key: (2048 bit)"));
    QVERIFY(text.contains("Exponent: 65537 (0x10001)"));
    QVERIFY2(text.contains("X509v3 Subject Alternative Name: \n                " + san + "\n"), qPrintable(text));
    QCOMPARE(text.count("X509v3 "), 2); // the heading and subjectAltName: nothing else

    const QString verified = openssl(QStringList{"verify", "-CAfile", Utils::fileCertificateCa()} + verifyName
                                         + QStringList{certPem},
                                     &code);
    QVERIFY2(code == 0, qPrintable(verified));

    // The key in the container belongs to the certificate.
    QCOMPARE(openssl({"pkey", "-in", keyPem, "-pubout"}), openssl({"x509", "-in", certPem, "-noout", "-pubkey"}));
}

void TestCertificateGenerator::fileModes()
{
    QCOMPARE(TestSupport::fileMode(QDir::homePath() + "/.obrenta"), 0700);
    QCOMPARE(TestSupport::fileMode(Utils::dirConfig()), 0700);
    QCOMPARE(TestSupport::fileMode(Utils::dirCertificates()), 0700);
    QCOMPARE(TestSupport::fileMode(Utils::fileCertificateCa()), 0600);
    QCOMPARE(TestSupport::fileMode(Utils::fileCertificateSsl("kavrel.localhost")), 0600);
    QCOMPARE(TestSupport::fileMode(Utils::fileCertificateSsl("127.0.0.1")), 0600);

    // Files left from an older run with wider modes are narrowed when rewritten.
    TestHome home;
    QVERIFY(QDir().mkpath(Utils::dirCertificates()));
    const QStringList files = {Utils::fileCertificateCa(), Utils::fileCertificateSsl("kavrel.localhost"),
                               Utils::fileCertificateSsl("127.0.0.1")};
    for (const QString &file : files) {
        QVERIFY(TestSupport::writeFile(file, "old"));
        QVERIFY(
            QFile::setPermissions(file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther));
    }
    CertificateGenerator generator;
    QVERIFY(generator.generate());
    for (const QString &file : files) {
        QCOMPARE(TestSupport::fileMode(file), 0600);
        QVERIFY(TestSupport::readAll(file) != "old");
    }
}

void TestCertificateGenerator::checkLoadsEveryFile()
{
    TestHome home;
    CertificateGenerator generator;
    QVERIFY(!generator.check());
    QVERIFY(generator.generate());
    QVERIFY(generator.check());

    // A container that loads, but not with the agent's password.
    TestSupport::makeContainer(fixtures.path(), "other", {"-newkey", "rsa:2048"}, "/CN=kavrel.localhost", "ine");
    const QByteArray wrongPassword = TestSupport::readAll(fixture("other.p12"));
    QVERIFY(!wrongPassword.isEmpty());

    const QStringList files = {Utils::fileCertificateCa(), Utils::fileCertificateSsl("kavrel.localhost"),
                               Utils::fileCertificateSsl("127.0.0.1")};
    for (const QString &file : files) {
        const QByteArray good = TestSupport::readAll(file);
        QList<QByteArray> broken = {QByteArray(), good.left(good.size() / 2), good.left(good.size() - 10)};
        if (file.endsWith(".p12"))
            broken << wrongPassword;
        else
            broken << "-----BEGIN CERTIFICATE-----\nAAAA\n-----END CERTIFICATE-----\n";
        for (const QByteArray &content : broken) {
            QVERIFY(TestSupport::writeFile(file, content));
            QVERIFY2(!generator.check(), qPrintable(file + " " + QString::number(content.size())));
        }
        QVERIFY(QFile::remove(file));
        QVERIFY2(!generator.check(), qPrintable(file));
        QVERIFY(TestSupport::writeFile(file, good));
        QVERIFY(generator.check());
    }
}

void TestCertificateGenerator::removeDeletesOnlyCertificateFiles()
{
    TestHome home;
    CertificateGenerator generator;
    QVERIFY(generator.remove());
    QVERIFY(!QFileInfo::exists(Utils::dirCertificates()));

    const QString dir = Utils::dirCertificates();
    const QStringList gone = {dir + "/ca.crt", dir + "/kavrel.localhost.p12", dir + "/127.0.0.1.p12", dir + "/a.p12",
                              dir + "/b.crt"};
    const QStringList kept = {dir + "/c.P12", dir + "/notes.txt", dir + "/sub/d.p12", dir + "/e.p12.bak"};
    for (const QString &file : gone + kept)
        QVERIFY(TestSupport::writeFile(file, "x"));
    QVERIFY(QDir().mkpath(dir + "/old.crt"));

    QVERIFY(generator.remove());
    for (const QString &file : gone)
        QVERIFY2(!QFileInfo::exists(file), qPrintable(file));
    for (const QString &file : kept)
        QVERIFY2(QFileInfo::exists(file), qPrintable(file));
    QVERIFY(QFileInfo(dir + "/old.crt").isDir());
    QVERIFY(!generator.check());
}

// Written under a temporary name and renamed: a failed write leaves what was
// there before and no truncated file. Each failure is logged, the other files
// are still tried, and the set counts as not made.
void TestCertificateGenerator::unwritableFilesAreLoggedAndSkipped()
{
    TestHome home;
    const QString dir = Utils::dirCertificates();
    QVERIFY(QDir().mkpath(dir));
    const int fullMode = TestSupport::fileMode("/dev/full");
    QVERIFY(TestSupport::writeFile(Utils::fileCertificateCa(), "old"));
    // Links at the names older versions wrote through lead nowhere now.
    QVERIFY(QFile::link("/dev/full", Utils::fileCertificateCa() + ".tmp"));
    QVERIFY(QFile::link(dir + "/missing/target.p12", Utils::fileCertificateSsl("kavrel.localhost") + ".tmp"));
    QVERIFY(QDir().mkpath(Utils::fileCertificateSsl("127.0.0.1")));

    // Every write cut short, by the file size limit as a full disk would:
    // each file is logged, and skipped.
    for (const QString &file : {Utils::fileCertificateCa(), Utils::fileCertificateSsl("kavrel.localhost"),
                                Utils::fileCertificateSsl("127.0.0.1")})
        QTest::ignoreMessage(
            QtWarningMsg,
            QString("Nepodarilo sa zapisat subor \"%1\" %2").arg(file, systemError(EFBIG)).toUtf8().constData());
    struct rlimit saved;
    QCOMPARE(::getrlimit(RLIMIT_FSIZE, &saved), 0);
    const struct rlimit small = {512, saved.rlim_max};
    ::signal(SIGXFSZ, SIG_IGN);
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &small), 0);
    CertificateGenerator generator;
    const bool generated = generator.generate();
    QCOMPARE(::setrlimit(RLIMIT_FSIZE, &saved), 0);
    QVERIFY(!generated);
    QCOMPARE(TestSupport::fileMode("/dev/full"), fullMode);
    QCOMPARE(TestSupport::readAll(Utils::fileCertificateCa()), QByteArray("old"));
    QVERIFY(!QFileInfo::exists(Utils::fileCertificateSsl("kavrel.localhost")));
    QVERIFY(!QFileInfo::exists(dir + "/missing"));
    QVERIFY(QFileInfo(Utils::fileCertificateSsl("127.0.0.1")).isDir());
    // No temporary file of ours is left; the links stay as they were.
    QCOMPARE(QDir(dir).entryList({"*.tmp*"}, QDir::AllEntries | QDir::System),
             QStringList({"ca.crt.tmp", "kavrel.localhost.p12.tmp"}));
    QVERIFY(!generator.check());
}

void TestCertificateGenerator::uncreatableDirectoryEndsTheProgram_data()
{
    QTest::addColumn<QString>("blocker");
    QTest::newRow("maker directory is a file") << "/.obrenta";
    QTest::newRow("certificate directory is a file") << "/.obrenta/kavrel/certificates";
}

void TestCertificateGenerator::uncreatableDirectoryEndsTheProgram()
{
    QFETCH(QString, blocker);
    TestHome home;
    QVERIFY(TestSupport::writeFile(home.path() + blocker, "in the way"));
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert("LC_ALL", "C.UTF-8");
    const ChildResult result = TestSupport::run(TestSupport::helperPath("listenerprobe"), {"--generate"}, env);
    QCOMPARE(result.exitStatus, QProcess::NormalExit);
    QCOMPARE(result.exitCode, 255);
    const QString err = QString::fromUtf8(result.err);
    QVERIFY2(err.endsWith("[W] Nepodarilo sa vytvorit adresar pre certifiakty (:0, )\n"
                          "[C] Nepodarilo sa zapisať infromácie na disk. (:0, )\n"),
             qPrintable(err));
    QVERIFY(!result.out.contains("listening"));
    QVERIFY(!QFileInfo::exists(Utils::fileCertificateCa()));
    QCOMPARE(TestSupport::readAll(home.path() + blocker), QByteArray("in the way"));
}

void TestCertificateGenerator::importGeneratedFile()
{
    QFile file(Utils::fileCertificateSsl("kavrel.localhost"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QSslKey key;
    QSslCertificate cert;
    QVERIFY(CertificateGenerator::importPkcs12(&file, &key, &cert, nullptr, "kretu"));
    QVERIFY(file.isOpen()); // the caller's device stays open
    QCOMPARE(key.algorithm(), QSsl::Rsa);
    QCOMPARE(key.type(), QSsl::PrivateKey);
    QCOMPARE(key.length(), 2048);
    QCOMPARE(cert.subjectInfo(QSslCertificate::CommonName), QStringList{"kavrel.localhost"});
    QCOMPARE(cert.serialNumber(), QByteArray("01"));

    QTemporaryDir work;
    int code = -1;
    openssl({"pkcs12", "-in", file.fileName(), "-passin", "pass:kretu", "-nokeys", "-out", work.path() + "/c.pem"},
            &code);
    QCOMPARE(code, 0);
    const QList<QSslCertificate> expected = QSslCertificate::fromPath(work.path() + "/c.pem");
    QCOMPARE(expected.size(), 1);
    QCOMPARE(cert, expected.first());
    openssl({"pkcs12", "-in", file.fileName(), "-passin", "pass:kretu", "-nocerts", "-nodes", "-out",
             work.path() + "/k.pem"},
            &code);
    QCOMPARE(code, 0);
    QCOMPARE(key.toPem(), QSslKey(TestSupport::readAll(work.path() + "/k.pem"), QSsl::Rsa).toPem());
}

void TestCertificateGenerator::importFailures_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QByteArray>("password");
    QTest::addColumn<QString>("warning");
    QTest::addColumn<bool>("keySet");

    const QString generated = Utils::fileCertificateSsl("kavrel.localhost");
    QTest::newRow("wrong password") << generated << QByteArray("kretu2")
                                    << "^Nepodarilo spracovat PKCS#12 subor:  .*mac verify failure" << false;
    QTest::newRow("empty file") << fixture("empty.p12") << QByteArray("kretu")
                                << "^Nepodarilo sa nacitat PKCS#12 subor\\.$" << false;
    QTest::newRow("text file") << fixture("text.p12") << QByteArray("kretu")
                               << "^Nepodarilo nacitat PKCS#12 subor:  \\S" << false;
    QTest::newRow("no key") << fixture("nokey.p12") << QByteArray("kretu")
                            << "^Nepodarilo sa nacitat privatny kluc z PKCS#12$" << false;
    QTest::newRow("no certificate") << fixture("nocert.p12") << QByteArray("kretu")
                                    << "^Nepodarilo sa zkonvertovat certifikat z PKCS#12$" << true;
    QTest::newRow("Ed25519 key") << fixture("ed25519.p12") << QByteArray("kretu")
                                 << "^Nepodporovany algoritmus privatneho kluca z PKCS#12$" << false;
}

void TestCertificateGenerator::importFailures()
{
    QFETCH(QString, path);
    QFETCH(QByteArray, password);
    QFETCH(QString, warning);
    QFETCH(bool, keySet);

    QFile file(path);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QSslKey key;
    QSslCertificate cert;
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression(warning));
    QVERIFY(!CertificateGenerator::importPkcs12(&file, &key, &cert, nullptr, password));
    QVERIFY(cert.isNull());
    QCOMPARE(!key.isNull(), keySet);
}

void TestCertificateGenerator::importOtherKeyTypes_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("algorithmNumber");
    QTest::newRow("EC") << "ec" << int(QSsl::Ec);
    QTest::newRow("DSA") << "dsa" << int(QSsl::Dsa);
}

void TestCertificateGenerator::importOtherKeyTypes()
{
    QFETCH(QString, name);
    QFETCH(int, algorithmNumber);
    const auto algorithm = QSsl::KeyAlgorithm(algorithmNumber);
    QFile file(fixture(name + ".p12"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QSslKey key;
    QSslCertificate cert;
    QVERIFY(CertificateGenerator::importPkcs12(&file, &key, &cert, nullptr, "kretu"));
    QCOMPARE(key.algorithm(), algorithm);
    QCOMPARE(key.type(), QSsl::PrivateKey);
    QCOMPARE(cert, QSslCertificate::fromPath(fixture(name + ".crt")).value(0));
    QCOMPARE(key.toPem(), QSslKey(TestSupport::readAll(fixture(name + ".key")), algorithm).toPem());
}

void TestCertificateGenerator::importIgnoresFurtherCertificates()
{
    const QSslCertificate ca = QSslCertificate::fromPath(Utils::fileCertificateCa()).value(0);
    QVERIFY(!ca.isNull());
    QList<QSslCertificate> caCertificates{ca};
    QFile file(fixture("withca.p12"));
    QVERIFY(file.open(QIODevice::ReadOnly));
    QSslKey key;
    QSslCertificate cert;
    QVERIFY(CertificateGenerator::importPkcs12(&file, &key, &cert, &caCertificates, "kretu"));
    QCOMPARE(cert.subjectInfo(QSslCertificate::CommonName), QStringList{"leaf.test"});
    QCOMPARE(caCertificates, QList<QSslCertificate>{ca});

    // A device that could not be opened yields nothing, like an empty file.
    QFile closed(fixture("withca.p12"));
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("device not open"));
    QTest::ignoreMessage(QtWarningMsg, "Nepodarilo sa nacitat PKCS#12 subor.");
    QVERIFY(!CertificateGenerator::importPkcs12(&closed, &key, &cert, nullptr, "kretu"));
}

QTEST_MAIN(TestCertificateGenerator)
#include "tst_certificategenerator.moc"
