#include "logger.h"

#include "utils.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>

#include <fcntl.h>

QFile *Logger::logFile = nullptr;
QStringList Logger::messages;
QString Logger::lastLine;
qint64 Logger::repeats = 0;

static QString repeatLine(const QString &line, qint64 count)
{
    return line.left(line.size() - 1) + " x" + QString::number(count) + "\n";
}

void Logger::installMessageHandler()
{
    if (QDir(Utils::dirLog()).exists()) {
        const QString name = QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss") + "_"
            + QString::number(QCoreApplication::applicationPid()) + ".txt";
        logFile = new QFile(Utils::dirLog() + "/" + name);
    }
    qInstallMessageHandler(messageHandler);
    std::atexit(flushRepeats);
}

void Logger::messageHandler(QtMsgType type, const QMessageLogContext &context, const QString &msg)
{
    QString letter;
    switch (type) {
    case QtDebugMsg:
        letter = "D";
        break;
    case QtWarningMsg:
        letter = "W";
        break;
    case QtCriticalMsg:
        letter = "C";
        break;
    case QtFatalMsg:
        letter = "F";
        break;
    case QtInfoMsg:
        letter = "I";
        break;
    default:
        letter = "U";
        break;
    }
    const QString line = formatMessage(letter, context, msg);
    if (line == lastLine) {
        // Kept current in memory; standard error and the file get it when the run ends.
        ++repeats;
        if (repeats == 1)
            keep(repeatLine(line, repeats));
        else
            messages.last() = repeatLine(line, repeats);
    } else {
        flushRepeats();
        lastLine = line;
        keep(line);
        write(line);
    }

    if (type == QtCriticalMsg || type == QtFatalMsg) {
        // Not while the application object is still being made: without a
        // display to open, no box can be made either.
        if (qobject_cast<QApplication *>(QCoreApplication::instance()) && !QCoreApplication::startingUp())
            Utils::showErrorMessage(Utils::tr("Nastala závažná chyba: ") + msg, Utils::tr("Aplikácia bude ukončená."));
        std::exit(-1);
    }
}

void Logger::giveUp(const QString &text)
{
    qCritical().noquote() << text;
    // Our handler has ended the process already; another one, a test's, has not.
    std::exit(-1);
}

void Logger::flushRepeats()
{
    if (repeats > 0)
        write(repeatLine(lastLine, repeats));
    repeats = 0;
}

void Logger::keep(const QString &line)
{
    messages.append(line);
    while (messages.size() > maxMessages)
        messages.removeFirst();
}

void Logger::write(const QString &line)
{
    fputs(line.toLocal8Bit().constData(), stderr);
    fflush(stderr);

    // Opened for each line, so a log file removed meanwhile comes back.
    const int fd = logFile ? Utils::openPrivateFile(logFile->fileName(), O_APPEND) : -1;
    QFile file;
    if (fd >= 0 && file.open(fd, QIODevice::WriteOnly | QIODevice::Append, QFileDevice::AutoCloseHandle))
        file.write(line.toUtf8());
}

QString Logger::formatMessage(const QString &type, const QMessageLogContext &context, const QString &msg)
{
    // One multi-argument arg() call, so a "%1" inside the message stays as it is.
    return QString("[%1] %2 (%3:%4, %5)\n")
        .arg(type, msg, QString::fromUtf8(context.file), QString::number(context.line),
             QString::fromUtf8(context.function));
}

QString Logger::getMessages()
{
    QString all;
    for (auto it = messages.crbegin(); it != messages.crend(); ++it)
        all += *it;
    return all;
}
