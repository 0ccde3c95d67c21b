#include "javaappsmanager.h"

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
        return qMakePair(-200, QString("Adresa JNLP suboru je neplatna."));

    const QString program = QDir::toNativeSeparators(findJavaWs());
    args << jnlp;
    proc->start(program, args, QIODevice::ReadWrite);
    return qMakePair(0, QString());
}

QString JavaAppsManager::getTitle(QString url)
{
    Q_UNUSED(url);
    return "Aplikácia Java Web Start";
}
