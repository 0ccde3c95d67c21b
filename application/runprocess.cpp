#include "runprocess.h"

#include <QDebug>
#include <QEventLoop>

RunProcess::RunProcess(QObject *parent)
    : QObject(parent)
{
}

void RunProcess::setWorkingDirectory(QString dir)
{
    proc.setWorkingDirectory(dir);
}

bool RunProcess::start(QString program, QStringList args, QByteArray input, bool silent)
{
    connect(&proc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &RunProcess::onProcessFinished);
    connect(&proc, &QProcess::errorOccurred, this, &RunProcess::onProcessError);
    connect(&proc, &QProcess::started, this, &RunProcess::onProcessStarted);

    dataToWrite = input;
    loop = new QEventLoop;
    m_startFailed = false;

    proc.start(program, args, QIODevice::ReadWrite);
    // An empty program name, for one, fails inside start() itself, and then
    // nothing would ever end the loop.
    if (!m_startFailed)
        loop->exec();

    delete loop;
    loop = nullptr;

    if (m_startFailed)
        return false;
    if (proc.exitStatus() == QProcess::NormalExit && proc.exitCode() != 0) {
        if (!silent) {
            const QString output = QString::fromLocal8Bit(readAllStandardOutput());
            qWarning() << "Spustenie aplikacie zlyhalo. Aplikacia:" << program << "Navratovy kod:" << proc.exitCode()
                       << "Argumenty:" << args << "Vystup: " << output;
        }
        return false;
    }
    return proc.exitStatus() == QProcess::NormalExit;
}

QByteArray RunProcess::readAllStandardOutput()
{
    if (!outpuDataLoaded) {
        outputData = proc.readAllStandardOutput();
        outpuDataLoaded = true;
    }
    return outputData;
}

int RunProcess::exitCode() const
{
    return proc.exitCode();
}

bool RunProcess::startFailed() const
{
    return m_startFailed;
}

void RunProcess::onProcessStarted()
{
    proc.write(dataToWrite);
    proc.closeWriteChannel();
}

void RunProcess::onProcessFinished(int exitCode, QProcess::ExitStatus exitStatus)
{
    Q_UNUSED(exitCode);
    Q_UNUSED(exitStatus);
    if (loop)
        loop->quit();
}

QString RunProcess::errorName(QProcess::ProcessError error)
{
    switch (error) {
    case QProcess::FailedToStart:
        return "FailedToStart";
    case QProcess::Crashed:
        return "Crashed";
    case QProcess::Timedout:
        return "Timedout";
    case QProcess::ReadError:
        return "ReadError";
    case QProcess::WriteError:
        return "WriteError";
    default:
        return "UnknownError";
    }
}

void RunProcess::onProcessError(QProcess::ProcessError error)
{
    const QString reason = errorName(error);
    qWarning() << "Nepodarilo sa spustit aplikaciu. Aplikacia: " << proc.program() << "Dovod: " << reason
               << proc.errorString();
    m_startFailed = true;
    if (loop)
        loop->quit();
}
