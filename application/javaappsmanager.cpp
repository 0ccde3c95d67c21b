#include "javaappsmanager.h"

#include "launchstatus.h"

#include <QDir>
#include <QProcess>
#include <QStringList>

QString findJavaWs()
{
    return "javaws";
}

QPair<int, QString> JavaAppsManager::launch(QProcess *proc, QString jnlp, QString xmx, QString xms, QString xss)
{
    QStringList args;
    if (!xmx.isEmpty())
        args << "-J-Xmx" + xmx;
    if (!xms.isEmpty())
        args << "-J-Xms" + xms;
    if (!xss.isEmpty())
        args << "-J-Xss" + xss;

    // javaws would read such an address as one of its own options.
    if (jnlp.startsWith("-"))
        return qMakePair(int(LaunchStatus::Refused), QString("Adresa JNLP suboru je neplatna."));

    const QString program = QDir::toNativeSeparators(findJavaWs());
    args << jnlp;
    proc->start(program, args, QIODevice::ReadWrite);
    return qMakePair(int(LaunchStatus::Started), QString());
}

static bool holdsControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

QPair<int, QString> JavaAppsManager::checkArguments(const QString &jnlp, const QStringList &options)
{
    if (jnlp.size() > MAX_ADDRESS_LENGTH || holdsControl(jnlp))
        return qMakePair(int(LaunchStatus::Refused), QString("Adresa JNLP suboru je neplatna."));
    for (const QString &option : options) {
        if (option.size() > MAX_OPTION_LENGTH || holdsControl(option))
            return qMakePair(int(LaunchStatus::Refused), QString("Parametre JVM su neplatne."));
    }
    return qMakePair(int(LaunchStatus::Started), QString());
}

QString JavaAppsManager::getTitle(QString url)
{
    Q_UNUSED(url);
    return "Aplikácia Java Web Start";
}
