#include "logger.h"

#include "utils.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>

#include <cstdio>
#include <cstdlib>

QFile *Logger::logFile = nullptr;
QStringList Logger::messages;

void Logger::installMessageHandler()
{
    if (QDir(Utils::dirLog()).exists()) {
        const QString name = QDateTime::currentDateTime().toString("yyyyMMdd_HHmmss") + "_"
            + QString::number(QCoreApplication::applicationPid()) + ".txt";
        logFile = new QFile(Utils::dirLog() + "/" + name);
    }
    qInstallMessageHandler(messageHandler);
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
    messages.append(line);

    fputs(line.toLocal8Bit().constData(), stderr);
    fflush(stderr);

    if (logFile && logFile->open(QIODevice::WriteOnly | QIODevice::Append)) {
        logFile->write(line.toUtf8());
        logFile->close();
    }

    if (type == QtCriticalMsg || type == QtFatalMsg) {
        // Not while the application object is still being made: without a
        // display to open, no box can be made either.
        if (qobject_cast<QApplication *>(QCoreApplication::instance()) && !QCoreApplication::startingUp())
            Utils::showErrorMessage(Utils::tr("Nastala závažná chyba: ") + msg, Utils::tr("Aplikácia bude ukončená."));
        std::exit(-1);
    }
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
