#include "javaappsmanager.h"

#include <QDir>
#include <QProcess>
#include <QStringList>

QString findJavaWs()
{
    return "javaws";
}

LaunchResult JavaAppsManager::launch(QProcess *proc, QString jnlp, QString xmx, QString xms, QString xss)
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
        return {LaunchStatus::Refused, "Adresa JNLP suboru je neplatna.", LaunchStatus::Cause::BadUrl};

    const QString program = QDir::toNativeSeparators(findJavaWs());
    args << jnlp;
    proc->start(program, args, QIODevice::ReadWrite);
    return {};
}

static bool holdsControl(const QString &text)
{
    for (const QChar c : text) {
        if (c.category() == QChar::Other_Control)
            return true;
    }
    return false;
}

LaunchResult JavaAppsManager::checkArguments(const QString &jnlp, const QStringList &options)
{
    if (jnlp.trimmed().isEmpty() || jnlp.size() > MAX_ADDRESS_LENGTH || holdsControl(jnlp))
        return {LaunchStatus::Refused, "Adresa JNLP suboru je neplatna.", LaunchStatus::Cause::BadUrl};
    for (const QString &option : options) {
        if (option.size() > MAX_OPTION_LENGTH || holdsControl(option))
            return {LaunchStatus::Refused, "Parametre JVM su neplatne.", LaunchStatus::Cause::BadOption};
    }
    return {};
}

QString JavaAppsManager::getTitle(QString url)
{
    Q_UNUSED(url);
    return "Aplikácia Java Web Start";
}
