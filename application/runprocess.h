#ifndef RUNPROCESS_H
#define RUNPROCESS_H

#include <QByteArray>
#include <QObject>
#include <QProcess>
#include <QString>
#include <QStringList>

class QEventLoop;

// Runs one helper tool to its end while the event loop keeps serving. One
// object per run.
class RunProcess : public QObject
{
    Q_OBJECT

public:
    explicit RunProcess(QObject *parent = nullptr);

    void setWorkingDirectory(QString dir);
    bool start(QString program, QStringList args, QByteArray input = QByteArray(), bool silent = false);
    QByteArray readAllStandardOutput();
    int exitCode() const;
    bool startFailed() const;

    // The name under which a process error is logged and reported.
    static QString errorName(QProcess::ProcessError error);

private slots:
    void onProcessStarted();
    void onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void onProcessError(QProcess::ProcessError error);

private:
    QByteArray dataToWrite;
    bool m_startFailed = false;
    QEventLoop *loop = nullptr;
    QProcess proc;
    QByteArray outputData;
    bool outpuDataLoaded = false;
};

#endif // RUNPROCESS_H
