#include "childprocess.h"

#include <QTest>

ChildProcess::ChildProcess()
{
    connect(this, &QProcess::readyReadStandardError, this, [this]() { err += readAllStandardError(); });
}

ChildProcess::~ChildProcess()
{
    if (state() != NotRunning) {
        kill();
        waitForFinished(5000);
    }
}

bool ChildProcess::waitForLog(const QString &text, int timeoutMs)
{
    return QTest::qWaitFor([&]() { return errText().contains(text) || state() == NotRunning; }, timeoutMs)
        && errText().contains(text);
}

bool ChildProcess::ended(int timeoutMs)
{
    return QTest::qWaitFor([&]() { return state() == NotRunning; }, timeoutMs);
}
