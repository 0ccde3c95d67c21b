#ifndef RUNPROCESS_H
#define RUNPROCESS_H

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTimer>

class QEventLoop;

// Runs one helper tool to its end while the event loop keeps serving. One
// object per run.
class RunProcess : public QObject
{
    Q_OBJECT

public:
    // How long a helper tool may run before it is ended and counts as failed:
    // certutil and which take well under a second; the desktop tools rebuild
    // caches and get more.
    static const int TIME_LIMIT_MS = 10000;
    static const int DESKTOP_TOOL_LIMIT_MS = 30000;

    explicit RunProcess(QObject *parent = nullptr);
    ~RunProcess() override;

    void setWorkingDirectory(QString dir);
    void setTimeLimit(int ms);
    bool start(QString program, QStringList args, QByteArray input = QByteArray(), bool silent = false);
    QByteArray readAllStandardOutput();
    QByteArray readAllStandardError();
    int exitCode() const;
    bool startFailed() const;
    // Whether the last run was ended for exceeding its time limit.
    bool timedOut() const;

    // The name under which a process error is logged and reported.
    static QString errorName(QProcess::ProcessError error);

    // Ends every helper tool that runs and refuses to start new ones: the
    // program is quitting and nobody waits for their answers any more.
    static void endAll();

    // Runs a tool by name with its output going to ours, without an event
    // loop, within the time limit: its exit code, -2 when it could not start,
    // -1 when it crashed or was ended, as QProcess::execute tells them.
    static int execute(const QString &program, const QStringList &args, int timeLimitMs = DESKTOP_TOOL_LIMIT_MS);

private slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);
    void onTimeLimit();

private:
    // Kills the tool on purpose; its end is then no error of its own.
    void end();

    QByteArray dataToWrite;
    bool m_startFailed = false;
    QEventLoop *loop = nullptr;
    QProcess proc;
    QByteArray outputData;
    bool outpuDataLoaded = false;
    int timeLimit = TIME_LIMIT_MS;
    QTimer limit;
    bool m_timedOut = false;
    bool ending = false;
};

#endif // RUNPROCESS_H
