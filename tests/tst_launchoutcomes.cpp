#include "childprocess.h"
#include "loadsupport.h"
#include "testpeer.h"
#include "testsupport.h"
#include "utils.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

#include <csignal>
#include <memory>

using namespace TestSupport;
using namespace LoadSupport;

namespace {

QString command(const QByteArray &params)
{
    return R"({"jsonrpc":"2.0","id":1,"method":"kavrel.launch","params":)" + QString::fromUtf8(params) + "}";
}

QString launch(const QString &url, bool outcomes)
{
    QJsonObject params{{"url", url}};
    if (outcomes)
        params.insert("outcomes", true);
    return command(QJsonDocument(params).toJson(QJsonDocument::Compact));
}

QJsonObject status(const QString &state, const QString &cause, const QJsonObject &extra = {})
{
    QJsonObject s{{"cause", cause}, {"code", 0}, {"message", ""}, {"state", state}};
    for (auto it = extra.begin(); it != extra.end(); ++it)
        s.insert(it.key(), it.value());
    return s;
}

QJsonObject ended(int exitCode, bool crashed)
{
    return status("ended", crashed ? "crashed" : "exited", {{"crashed", crashed}, {"exitCode", exitCode}});
}

const QString APP = "http://apps.example/a.jnlp?";

} // namespace

// What a page hears of its launch from the real agent, with the fake javaws
// playing the application: the outcomes it may ask for, the launches the
// agent refuses without an address, and the launches of pages already gone.
class TestLaunchOutcomes : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase();

    void outcomes_data();
    void outcomes();
    void withoutAddress_data();
    void withoutAddress();
    void closedPagesStartNothing();

private:
    std::unique_ptr<TestPeer> page();
    QStringList starts() const;
    // The launchStatus params a page got, in order.
    static QJsonArray statuses(const TestPeer &peer);

    std::unique_ptr<TestHome> home;
    ChildProcess agent;
    QSslCertificate ca;
    QUrl served;
    QString startsFile;
    QString reportFile;
};

void TestLaunchOutcomes::initTestCase()
{
    home = std::make_unique<TestHome>();
    seedAgentHome();
    ca = agentCa();
    startsFile = home->path() + "/starts";
    QProcessEnvironment env = offscreen();
    env.insert("KAVREL_TEST_STARTS", startsFile);
    reportFile = home->path() + "/report.json";
    env.insert("KAVREL_TEST_REPORT", reportFile);
    QVERIFY2(startMainInstance(agent, env), qPrintable(agent.errText()));
    served = servedUrl();
}

void TestLaunchOutcomes::init()
{
    QFile::remove(startsFile);
}

void TestLaunchOutcomes::cleanupTestCase()
{
    agent.terminate();
    QVERIFY(agent.ended());
}

std::unique_ptr<TestPeer> TestLaunchOutcomes::page()
{
    auto peer = std::make_unique<TestPeer>(ca);
    if (peer->first(wssUrl("127.0.0.1", quint16(served.port()), served.path())) != MAIN_HELLO)
        return nullptr;
    return peer;
}

QStringList TestLaunchOutcomes::starts() const
{
    return QString::fromUtf8(readAll(startsFile)).split('\n', Qt::SkipEmptyParts);
}

QJsonArray TestLaunchOutcomes::statuses(const TestPeer &peer)
{
    QJsonArray list;
    for (int i = peer.indexOf("kavrel.launchStatus"); i >= 0; i = peer.indexOf("kavrel.launchStatus", i + 1))
        list.append(peer.params(i));
    return list;
}

void TestLaunchOutcomes::outcomes_data()
{
    QTest::addColumn<QString>("query");
    QTest::addColumn<bool>("kill");
    QTest::addColumn<QJsonArray>("expected");
    const QJsonObject started = status("started", "started"), joined = status("joined", "joined");
    QTest::newRow("killed after joining") << "action=echo" << true << QJsonArray{started, joined, ended(SIGKILL, true)};
    QTest::newRow("exits without joining") << "action=exit&code=3" << false << QJsonArray{started, ended(3, false)};
    QTest::newRow("crashes without joining") << "action=crash" << false << QJsonArray{started, ended(SIGABRT, true)};
    // Its connection goes first: the page still hears how it ended.
    QTest::newRow("leaves, then exits") << "action=leave&code=4" << false
                                        << QJsonArray{started, joined, ended(4, false)};
}

// Each in order, and the page closed only after the last.
void TestLaunchOutcomes::outcomes()
{
    QFETCH(QString, query);
    QFETCH(bool, kill);
    QFETCH(QJsonArray, expected);
    for (bool asked : {true, false}) {
        QFile::remove(reportFile);
        auto peer = page();
        QVERIFY(peer);
        peer->socket.sendTextMessage(launch(APP + query, asked));
        QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(reportFile).size() > 0, 20000);
        const qint64 pid = QJsonDocument::fromJson(readAll(reportFile)).object().value("pid").toInt();
        if (kill) {
            QTRY_VERIFY_WITH_TIMEOUT(peer->indexOf("test.report") > 0, 20000);
            TestSupport::signalProcess(pid, SIGKILL);
        }
        if (asked) {
            QTRY_COMPARE_WITH_TIMEOUT(peer->disconnected.size(), 1, 20000);
            QCOMPARE(peer->socket.closeCode(), QWebSocketProtocol::CloseCodeNormal);
            QCOMPARE(statuses(*peer), expected);
            continue;
        }
        // A page that did not ask hears what it always heard: nothing of a
        // start, a join or an end without error. A page left open launches
        // again once the agent has reaped the first, which shows that the
        // agent has dealt with its end.
        QTRY_VERIFY_WITH_TIMEOUT(!QFileInfo::exists(QString("/proc/%1").arg(pid)), 20000);
        if (peer->disconnected.isEmpty()) {
            peer->socket.sendTextMessage(launch(APP + "action=echo", false));
            QTRY_VERIFY_WITH_TIMEOUT(peer->indexOf("test.report") > 0 || !peer->disconnected.isEmpty(), 20000);
        }
        for (const QJsonValue &s : statuses(*peer))
            QCOMPARE(s.toObject().value("state").toString(), QString("error"));
    }
}

void TestLaunchOutcomes::withoutAddress_data()
{
    QTest::addColumn<QByteArray>("params");
    QTest::newRow("params a text") << QByteArray(R"("http://apps.example/a.jnlp")");
    QTest::newRow("params an array") << QByteArray(R"([{"url":"http://apps.example/a.jnlp"}])");
    QTest::newRow("no url") << QByteArray(R"({"javaXmx":"1m"})");
    QTest::newRow("url a number") << QByteArray(R"({"url":123})");
    QTest::newRow("url true") << QByteArray(R"({"url":true})");
    QTest::newRow("url empty") << QByteArray(R"({"url":""})");
    QTest::newRow("url blanks") << QByteArray(R"({"url":"   "})");
}

// Refused before the policy: nothing stored, nothing started.
void TestLaunchOutcomes::withoutAddress()
{
    QFETCH(QByteArray, params);
    const QByteArray config = readAll(Utils::fileConfig());
    auto peer = page();
    QVERIFY(peer);
    peer->socket.sendTextMessage(command(params));
    QTRY_COMPARE_WITH_TIMEOUT(peer->disconnected.size(), 1, 20000);
    QCOMPARE(statuses(*peer),
             QJsonArray({QJsonObject{{"cause", "bad-url"},
                                     {"code", -200},
                                     {"message", "Adresa JNLP suboru je neplatna."},
                                     {"state", "error"}}}));
    QCOMPARE(readAll(Utils::fileConfig()), config);
    QVERIFY(starts().isEmpty());
}

// Pages that launch and leave at once: none of their applications starts.
void TestLaunchOutcomes::closedPagesStartNothing()
{
    const int PAGES = 200;
    RecordingEnds pages;
    for (int i = 0; i < PAGES; ++i)
        pages.push_back(std::make_unique<RecordingEnd>(ca));
    QVERIFY(openAll(pages, [&](int) { return wssUrl("127.0.0.1", quint16(served.port()), served.path()); }));
    for (int i = 0; i < PAGES; ++i) {
        pages[i]->socket.sendTextMessage(launch(APP + "action=exit&code=0&page=" + QString::number(i), false));
        pages[i]->socket.close();
    }
    QVERIFY(waitUntil([&]() { return std::all_of(pages.begin(), pages.end(), [](const auto &p) { return p->gone; }); },
                      30000));
    // Launches go in order: once a later page's application runs, the agent
    // has dealt with every one before.
    auto last = page();
    QVERIFY(last);
    last->socket.sendTextMessage(launch(APP + "action=echo&last", false));
    QTRY_VERIFY_WITH_TIMEOUT(last->indexOf("test.report") > 0, 20000);
    QCOMPARE(starts(), QStringList{APP + "action=echo&last"});
}

QTEST_GUILESS_MAIN(TestLaunchOutcomes)
#include "tst_launchoutcomes.moc"
