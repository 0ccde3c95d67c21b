#include "certificategenerator.h"
#include "modalwidgets.h"
#include "settingsdialog.h"
#include "testsupport.h"
#include "utils.h"

#include <QApplication>
#include <QDialogButtonBox>
#include <QDir>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QSslCertificate>
#include <QTabBar>
#include <QTabWidget>
#include <QTreeWidget>
#include <QtTest>

#include <sys/stat.h>

using namespace TestSupport;

static QString certutil(const QStringList &args, int *code = nullptr)
{
    return runTool(QCoreApplication::applicationDirPath() + "/certutil/certutil", args, code);
}

static void makeDatabase(const QString &dir, const QStringList &password = {"--empty-password"})
{
    QVERIFY(QDir().mkpath(dir));
    int code = -1;
    const QString out = certutil(QStringList{"-N", "-d", "sql:" + dir} + password, &code);
    QVERIFY2(code == 0, qPrintable(out));
}

// The agent's CA in a database with the given trust.
static void addCa(const QString &dir, const QString &trust)
{
    const QString name = TestSupport::agentCa().subjectInfo(QSslCertificate::CommonName).value(0);
    int code = -1;
    const QString out = certutil({"-A", "-t", trust, "-n", name, "-i", Utils::fileCertificateCa(), "-d", "sql:" + dir},
                                 &code);
    QVERIFY2(code == 0, qPrintable(out));
}

// Every store in each state the report knows, made by the real certutil; the
// user opens the certificates page of the settings, reads where the browsers
// stand, repairs, and sees the stores that could be repaired trust the CA.
class TestTrustReport : public QObject
{
    Q_OBJECT

private slots:
    void everyStoreWithItsState();

private:
    // Browser, path and state of every row, once the page has asked the stores.
    static QStringList rows(QTreeWidget *list)
    {
        QStringList texts;
        for (int i = 0; i < list->topLevelItemCount(); ++i) {
            const QTreeWidgetItem *item = list->topLevelItem(i);
            texts << item->text(0) + " | " + item->text(1) + " | " + item->text(2);
        }
        return texts;
    }
};

void TestTrustReport::everyStoreWithItsState()
{
    TestHome home;
    QVERIFY(CertificateGenerator().generate());
    const QString h = home.path(), config = qEnvironmentVariable("XDG_CONFIG_HOME");
    const QString shared = h + "/.pki/nssdb", chromium = qEnvironmentVariable("XDG_DATA_HOME") + "/pki/nssdb";
    const QString firefox = config + "/mozilla/firefox";
    makeDatabase(shared);
    addCa(shared, "C,,");
    makeDatabase(chromium);
    makeDatabase(firefox + "/untrusted.default");
    addCa(firefox + "/untrusted.default", ",,");
    QVERIFY(writeFile(h + "/password", "secret\n"));
    makeDatabase(firefox + "/password.default", {"-f", h + "/password"});
    QVERIFY(QDir().mkpath(firefox + "/broken.default"));
    QVERIFY(writeFile(firefox + "/broken.default/cert9.db", "not a database"));
    // certutil waits on it for ever.
    QVERIFY(QDir().mkpath(firefox + "/hung.default"));
    QCOMPARE(::mkfifo(QFile::encodeName(firefox + "/hung.default/cert9.db").constData(), 0600), 0);
    QVERIFY(writeFile(firefox + "/profiles.ini",
                      "[Profile0]\nIsRelative=1\nPath=untrusted.default\n"
                      "[Profile1]\nIsRelative=1\nPath=password.default\n"
                      "[Profile2]\nIsRelative=1\nPath=broken.default\n"
                      "[Profile3]\nIsRelative=1\nPath=hung.default\n"));

    SettingsDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *tabs = dialog.findChild<QTabWidget *>("settingsTabs");
    QVERIFY(tabs);
    auto *list = dialog.findChild<QTreeWidget *>("trustList");
    QVERIFY(list && !list->isVisible());
    QCOMPARE(tabs->tabText(1), QString("Certifikáty"));
    QTest::mouseClick(tabs->tabBar(), Qt::LeftButton, {}, tabs->tabBar()->tabRect(1).center());
    auto *repair = dialog.findChild<QPushButton *>("btnTrustRepair");
    auto *again = dialog.findChild<QPushButton *>("btnTrustRefresh");
    QTRY_VERIFY_WITH_TIMEOUT(list->topLevelItemCount() > 0 && again->isEnabled(), 60000);
    const QStringList before = rows(list);
    QCOMPARE(before,
             QStringList(
                 {"Chromium a ďalšie programy NSS | Dôveruje | " + shared, "Chromium | Certifikát chýba | " + chromium,
                  "Mozilla Firefox | Prítomný, ale nedôveryhodný | " + firefox + "/untrusted.default",
                  "Mozilla Firefox | Nedá sa skontrolovať: chránená heslom | " + firefox + "/password.default",
                  "Mozilla Firefox | Nedá sa skontrolovať: zamknutá alebo poškodená | " + firefox + "/broken.default",
                  "Mozilla Firefox | Nedá sa skontrolovať: neodpovedá | " + firefox + "/hung.default"}));
    QVERIFY(dialog.findChild<QLabel *>("lblTrustSummary")->text().contains(Utils::fileCertificateCa()));
    QVERIFY(dialog.grab().save(artifactsDir() + "/trust-report.png"));

    // The notice, then the box that tells that not every store could be served.
    QString outcome;
    whenVisible([] { return QApplication::activeModalWidget(); },
                [&](QWidget *notice) {
                    QCOMPARE(notice->objectName(), QString("CertificateDialog"));
                    whenVisible(
                        [notice] {
                            QWidget *box = QApplication::activeModalWidget();
                            return box != notice ? qobject_cast<QMessageBox *>(box) : nullptr;
                        },
                        [&](QWidget *box) {
                            outcome = static_cast<QMessageBox *>(box)->text();
                            QTest::mouseClick(static_cast<QMessageBox *>(box)->button(QMessageBox::Ok), Qt::LeftButton);
                        });
                    auto *buttons = notice->findChild<QDialogButtonBox *>("buttonBox");
                    QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
                });
    QVERIFY(repair->isEnabled());
    QTest::mouseClick(repair, Qt::LeftButton);
    QCOMPARE(outcome, QString("Pri pridávaní certifikátu nastala jedna alebo viac chýb."));
    QTRY_VERIFY_WITH_TIMEOUT(again->isEnabled(), 60000);
    QStringList expected = before;
    for (int row : {1, 2})
        expected[row] = expected[row].section(" | ", 0, 0) + " | Dôveruje | " + expected[row].section(" | ", 2);
    QCOMPARE(rows(list), expected);
    QVERIFY(repair->isEnabled());

    // Repaired by hand, the last ones leave nothing to repair.
    for (const char *name : {"password", "broken", "hung"})
        QVERIFY(QDir(firefox + "/" + name + ".default").removeRecursively());
    QTest::mouseClick(again, Qt::LeftButton);
    QTRY_VERIFY_WITH_TIMEOUT(again->isEnabled(), 60000);
    QCOMPARE(rows(list), expected.mid(0, 3));
    QVERIFY(!repair->isEnabled());
}

QTEST_MAIN(TestTrustReport)
#include "tst_trustreport.moc"
