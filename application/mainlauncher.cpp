#include "mainlauncher.h"

#include "applock.h"
#include "redirectserver.h"
#include "utils.h"
#include "wire.h"

#include <QApplication>
#include <QDateTime>
#include <QDebug>
#include <QFileInfo>
#include <QMessageBox>
#include <QThread>
#include <QTimer>

#include <cstdio>

static const int POLL_INTERVAL = 500;
// Polls between two checks that the main instance still holds its lock.
static const int POLLS_PER_PROBE = 20;

int MainLauncher::run(QStringList args, bool firstStart)
{
    qInfo() << "Startujem v rezime launcher";
    if (args.size() > 1 || firstStart) {
        const QString scheme = Utils::protocolHandlerScheme() + ":";
        for (const QString &arg : qAsConst(args)) {
            const QString lower = arg.toLower();
            if (lower.startsWith(scheme))
                return handleProtocolUrl(arg);
            if (lower == "-l") {
                handleExternalApp();
                return QApplication::exec();
            }
        }
        return 0;
    }
    QMessageBox box(QMessageBox::Information, tr("Kavrel"), tr("Aplikácia je už spustená."), QMessageBox::Ok);
    box.exec();
    return 0;
}

bool MainLauncher::waitForSingleton()
{
    int counter = 0;
    forever
    {
        if (counter >= POLLS_PER_PROBE) {
            AppLock probe(0);
            if (probe.isLocked())
                return false;
            counter = 0;
        }
        // A state file older than the lock was left by an earlier main instance.
        const QFileInfo lock(Utils::fileLock());
        const QFileInfo state(Utils::fileState());
        if (lock.exists() && state.exists() && state.lastModified() >= lock.lastModified())
            return true;
        QThread::msleep(POLL_INTERVAL);
        ++counter;
    }
}

int MainLauncher::handleProtocolUrl(QString url)
{
    new RedirectServer(url, nullptr);
    return QApplication::exec();
}

int MainLauncher::handleExternalApp()
{
    QByteArray answer;
    if (waitForSingleton()) {
        // An external program is given the address, which needs no name resolution.
        const QString hostname = Utils::ipToHostname("127.0.0.1");
        const QString url = Wire::callerUrl(Utils::getServerUrlByHostname(hostname), "127.0.0.1", hostname);
        answer = QByteArray("0") + '\0' + url.toUtf8() + '\0' + Utils::fileCertificateCa().toUtf8();
    } else {
        answer = QByteArray("-300") + '\0' + "Aplikacia Kavrel neocakavane skoncila";
    }
    fwrite(answer.constData(), 1, answer.size(), stdout);
    fflush(stdout);
    QTimer::singleShot(0, qApp, &QCoreApplication::quit);
    return 0;
}
