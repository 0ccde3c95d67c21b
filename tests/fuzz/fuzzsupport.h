#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QtGlobal>

#include <cstddef>
#include <cstdint>

// Log lines would only slow the fuzzer down.
static void quiet(QtMsgType, const QMessageLogContext &, const QString &)
{
}

// An application object for what asks for the executable's path, and no log.
static inline void fuzzSetUp(int *argc, char ***argv)
{
    qInstallMessageHandler(quiet);
    static QCoreApplication app(*argc, *argv);
}

static inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

#endif // FUZZSUPPORT_H
