#include "installationfilemanager.h"
#include "messagelog.h"
#include "protocolhandlermanager.h"
#include "testsupport.h"
#include "utils.h"

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QMessageBox>
#include <QSettings>
#include <QStandardPaths>
#include <QTest>
#include <QTimer>

using namespace TestSupport;

static const int SIZES[] = {16, 24, 32, 48, 64, 128, 256};

static QString entryPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + "/obrenta-kavrel.desktop";
}

static QString iconPath(int size)
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QString("/icons/hicolor/%1x%1/apps/obrenta-kavrel.png").arg(size);
}

static QByteArray entry(const QString &exec)
{
    return "[Desktop Entry]\nType=Application\nName=Kavrel\nName[sk]=Kavrel\n#Comment=\nIcon=obrenta-kavrel\nExec="
        + exec.toUtf8() + " %U\nMimeType=x-scheme-handler/obrenta-kavrel\nCategories=Network;Security\n";
}

static QByteArray record(const QByteArray &root, const QByteArray &children)
{
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<" + root
        + " xmlns=\"http://www.obrenta.sk/ep/products/kavrel/configuration/installation/v1.0\">\n" + children + "</"
        + root + ">\n";
}

static QString defaultHandler()
{
    return runTool("xdg-mime", {"query", "default", "x-scheme-handler/obrenta-kavrel"}).trimmed();
}

class TestDesktopIntegration : public QObject
{
    Q_OBJECT

private slots:
    void registrationRoad()
    {
        TestHome home;
        QVERIFY(writeFile(iconPath(48), "mine"));
        ProtocolHandlerManager manager;
        QVERIFY(!manager.check());
        QVERIFY(manager.install());
        QCOMPARE(readAll(entryPath()), entry(Utils::fileApp()));
        QCOMPARE(fileMode(entryPath()) & 0111, 0111);
        for (int size : SIZES)
            if (size != 48)
                QCOMPARE(QImage(iconPath(size)).size(), QSize(size, size));
        QCOMPARE(readAll(iconPath(48)), QByteArray("mine"));
        QCOMPARE(defaultHandler(), QString("obrenta-kavrel.desktop"));
        QVERIFY(manager.check());

        // Another place, a missing blank after the path, a lost owner execute bit.
        for (const QByteArray &content : {entry("/elsewhere/kavrel"), entry(Utils::fileApp()).replace(" %U", "%U")}) {
            QVERIFY(writeFile(entryPath(), content));
            QVERIFY(!manager.check());
        }
        QVERIFY(writeFile(entryPath(), entry(Utils::fileApp())));
        QVERIFY(manager.check());
        QVERIFY(QFile::setPermissions(entryPath(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeGroup));
        QVERIFY(!manager.check());

        QVERIFY(manager.uninstall());
        QVERIFY(!QFile::exists(entryPath()));
        for (int size : SIZES)
            QVERIFY(!QFile::exists(iconPath(size)));
        QCOMPARE(defaultHandler(), QString());
        QVERIFY(QFile::exists(home.path() + "/Desktop/obrenta-kavrel.desktop"));
    }

    void withoutDesktopDatabaseTool()
    {
        TestHome home;
        QTemporaryDir bin;
        for (const QFileInfo &tool : QDir("/usr/bin").entryInfoList(QDir::Files))
            if (tool.fileName() != "update-desktop-database")
                QFile::link(tool.filePath(), bin.path() + "/" + tool.fileName());
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", QFile::encodeName(bin.path()));
        QString text, informative;
        QTimer poll;
        connect(&poll, &QTimer::timeout, [&] {
            if (QMessageBox *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                poll.stop();
                text = box->text();
                informative = box->informativeText();
                QTest::mouseClick(box->button(QMessageBox::Ok), Qt::LeftButton);
            }
        });
        poll.start(20);
        MessageLog log(MessageLog::PassOn);
        ProtocolHandlerManager manager;
        const bool installed = manager.install();
        qputenv("PATH", path);
        QVERIFY(installed);
        QCOMPARE(log.warnings().filter("Nepodarilo"),
                 QStringList{"Nepodarilo sa spustit update-desktop-database. Navratovy kod:  -2"});
        QCOMPARE(text, QString("Nepodarilo sa zaregistrovať aplikáciu."));
        QCOMPARE(informative,
                 QString("Uistite sa, že máte nainštalovanú sadu nástrojov desktop-file-utils a "
                         "reštartujte aplikáciu."));
        QCOMPARE(readAll(entryPath()), entry(Utils::fileApp()));
        QCOMPARE(QSettings(Utils::fileConfig(), QSettings::IniFormat).value("protocol_installation_failed").toString(),
                 QString("1"));
        QCOMPARE(fileMode(Utils::dirConfig()), 0700);
        QVERIFY(!manager.check());
    }

    void quotedExecPath()
    {
        QCOMPARE(ProtocolHandlerManager::execPath("/opt/p100%/kavrel"), QString("/opt/p100%%/kavrel"));
        QCOMPARE(ProtocolHandlerManager::execPath("/a b/\"q\"/c\\d/$x`y`/1%"),
                 QString("\"/a b/\\\\\"q\\\\\"/c\\\\\\\\d/\\\\$x\\\\`y\\\\`/1%%\""));

        // The entry written by the program at such a path starts it through the desktop (GLib
        // looks for the program before it turns %% into %, so this path has no percent sign).
        TestHome home;
        QTemporaryDir tmp;
        const QString dir = tmp.path() + "/dir with \"q\" 'a' $x `b` back\\slash";
        const QString program = dir + "/kavrel";
        QVERIFY(QDir().mkpath(dir) && QFile::copy(QCoreApplication::applicationFilePath(), program));
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("KAVREL_TEST_INSTALL", "1");
        QCOMPARE(run(program, {}, env).exitCode, 0); // install() and check() there
        // The validator also knows the field codes that an undoubled percent sign would make.
        const QString percent = tmp.path() + "/percent.desktop";
        QVERIFY(writeFile(percent, entry(ProtocolHandlerManager::execPath(tmp.path() + "/p 100%U/kavrel"))));
        int code = -1;
        for (const QString &file : {entryPath(), percent}) {
            const QString validation = runTool("desktop-file-validate", {file}, &code);
            QVERIFY2(code == 0 && !validation.contains("Exec"), qPrintable(validation));
        }
        QVERIFY(QFile::remove(program));
        QVERIFY(writeFile(program, "#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + tmp.path().toUtf8() + "/args'\n"));
        QVERIFY(QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        const QString out = runTool("gio", {"open", "obrenta-kavrel:?token=1%202"}, &code);
        QVERIFY2(code == 0, qPrintable(out));
        QTRY_COMPARE(readAll(tmp.path() + "/args"), QByteArray("obrenta-kavrel:?token=1%202\n"));
    }

    void installationRecord()
    {
        TestHome home;
        QCoreApplication::setApplicationVersion(KAVREL_VERSION);
        InstallationFileManager manager;
        QVERIFY(manager.uninstall());
        QVERIFY(manager.install());
        const QByteArray version = "    <Version>" KAVREL_VERSION "</Version>\n";
        const QByteArray path = "    <Path>" + Utils::fileApp().toUtf8() + "</Path>\n";
        QCOMPARE(readAll(Utils::fileInstallation()), record("Installation", version + path));
        QCOMPARE(fileMode(Utils::fileInstallation()), 0600);
        QCOMPARE(fileMode(Utils::dirConfig()), 0700);
        QVERIFY(!QFile::exists(Utils::fileInstallationTmp()));
        QVERIFY(manager.check());

        const QByteArray other = "    <Other/>\n";
        const QList<QPair<QByteArray, bool>> records =
            {{record("Installation", path + version), true},
             {record("Installation", version + QByteArray(path).replace("<Path>", "<Path>/x")), false},
             {record("Installation", QByteArray(version).replace(KAVREL_VERSION, KAVREL_VERSION ".1") + path), false},
             {record("installation", version + path), false},
             {record("Installation", other + other + version + path), false}};
        for (const auto &variant : records) {
            QVERIFY(writeFile(Utils::fileInstallation(), variant.first));
            QCOMPARE(manager.check(), variant.second);
        }
        QVERIFY(writeFile(Utils::fileInstallationTmp(), "left behind"));
        QVERIFY(manager.uninstall());
        QVERIFY(!QFile::exists(Utils::fileInstallation()) && !QFile::exists(Utils::fileInstallationTmp()));
    }
};

// Started as a child, the test program plays the installing program at its own path.
int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    if (qEnvironmentVariableIsSet("KAVREL_TEST_INSTALL")) {
        ProtocolHandlerManager manager;
        return manager.install() && manager.check() ? 0 : 1;
    }
    TestDesktopIntegration test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_desktopintegration.moc"
