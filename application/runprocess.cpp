#include "runprocess.h"

#include <QDebug>
#include <QEventLoop>
#include <QMetaEnum>

// Those inside start(), so that a quit can end them.
static QList<RunProcess *> running;

// A killed tool is reaped at once; this only bounds a tool stuck in the kernel.
static const int REAP_MS = 2000;

static void logOutOfTime(const QString &program, int limitMs)
{
    qWarning() << "Pomocny nastroj neskoncil v casovom limite, ukoncujem ho. Aplikacia:" << program
               << "Limit (ms):" << limitMs;
}

static void logEndedByQuit(const QString &program)
{
    qInfo() << "Ukoncujem pomocny nastroj, aplikacia sa ukoncuje:" << program;
}

RunProcess::RunProcess(QObject *parent)
    : QObject(parent)
{
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, this, &RunProcess::onTimeLimit);
}

RunProcess::~RunProcess()
{
    running.removeOne(this);
    if (proc.state() != QProcess::NotRunning)
        end();
    disconnect(&proc, nullptr, this, nullptr);
}

void RunProcess::setWorkingDirectory(QString dir)
{
    proc.setWorkingDirectory(dir);
}

void RunProcess::setTimeLimit(int ms)
{
    timeLimit = ms;
}

bool RunProcess::start(QString program, QStringList args, QByteArray input, bool silent)
{
    connect(&proc, QOverload<int, QProcess::ExitStatus>::of(&QProcess::finished), this, &RunProcess::onProcessFinished);
    connect(&proc, &QProcess::errorOccurred, this, &RunProcess::onProcessError);
    connect(&proc, &QProcess::started, this, &RunProcess::onProcessStarted);

    dataToWrite = input;
    loop = new QEventLoop;
    m_startFailed = false;
    m_timedOut = false;
    running.append(this);

    proc.start(program, args, QIODevice::ReadWrite);
    // An empty program name, for one, fails inside start() itself, and then
    // nothing would ever end the loop.
    if (!m_startFailed) {
        limit.start(timeLimit);
        loop->exec();
        limit.stop();
    }
    // Only a quit of the whole program ends our loop before the tool ends
    // (and makes every later loop return at once).
    if (proc.state() != QProcess::NotRunning) {
        logEndedByQuit(program);
        end();
    }
    running.removeOne(this);

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

QByteArray RunProcess::readAllStandardError()
{
    return proc.readAllStandardError();
}

int RunProcess::exitCode() const
{
    return proc.exitCode();
}

bool RunProcess::startFailed() const
{
    return m_startFailed;
}

bool RunProcess::timedOut() const
{
    return m_timedOut;
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
    const char *name = QMetaEnum::fromType<QProcess::ProcessError>().valueToKey(error);
    return QString::fromLatin1(name ? name : "UnknownError");
}

void RunProcess::onProcessError(QProcess::ProcessError error)
{
    m_startFailed = true;
    if (!ending) {
        const QString reason = errorName(error);
        qWarning() << "Nepodarilo sa spustit aplikaciu. Aplikacia: " << proc.program() << "Dovod: " << reason
                   << proc.errorString();
    }
    if (loop)
        loop->quit();
}

void RunProcess::onTimeLimit()
{
    logOutOfTime(proc.program(), timeLimit);
    m_timedOut = true;
    end();
    if (loop)
        loop->quit();
}

void RunProcess::end()
{
    ending = true;
    m_startFailed = true;
    proc.kill();
    proc.waitForFinished(REAP_MS);
}

void RunProcess::endAll()
{
    const QList<RunProcess *> tools = running;
    for (RunProcess *tool : tools) {
        if (tool->proc.state() == QProcess::NotRunning)
            continue;
        logEndedByQuit(tool->proc.program());
        tool->end();
        if (tool->loop)
            tool->loop->quit();
    }
}

int RunProcess::execute(const QString &program, const QStringList &args, int timeLimitMs)
{
    QProcess process;
    process.setProcessChannelMode(QProcess::ForwardedChannels);
    process.start(program, args);
    if (!process.waitForStarted(timeLimitMs))
        return -2;
    process.closeWriteChannel();
    if (!process.waitForFinished(timeLimitMs) && process.state() != QProcess::NotRunning) {
        logOutOfTime(program, timeLimitMs);
        process.kill();
        process.waitForFinished(REAP_MS);
        return -1;
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}
