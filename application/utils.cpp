#include "utils.h"

#include "logger.h"
#include "qmessageboxresize.h"
#include "server.h"

#include <QCoreApplication>
#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTextEdit>
#include <QUrl>

#include <sys/stat.h>
#include <sys/types.h>

QString Utils::dirApp()
{
    return QCoreApplication::applicationDirPath();
}

QString Utils::fileApp()
{
    return QCoreApplication::applicationFilePath();
}

QString Utils::dirConfig()
{
    return QDir::homePath() + "/.obrenta/kavrel";
}

// The configuration directory holds the access token and private keys, so
// whatever we create on the way to it is for the owner's eyes only.
bool Utils::createDirConfig()
{
    const QString home = QDir::homePath();
    for (const QString &dir : {home + "/.obrenta", dirConfig()}) {
        if (QFileInfo(dir).isDir())
            continue;
        if (::mkdir(QFile::encodeName(dir).constData(), 0700) != 0 && !QFileInfo(dir).isDir())
            return false;
    }
    return true;
}

QString Utils::fileConfig()
{
    return dirConfig() + "/config.ini";
}

QString Utils::fileInstallation()
{
    return dirConfig() + "/installation.xml";
}

QString Utils::fileInstallationTmp()
{
    return dirConfig() + "/installation.xml.tmp";
}

QString Utils::fileLock()
{
    return dirConfig() + "/Kavrel.lock";
}

QString Utils::fileState()
{
    return dirConfig() + "/Kavrel.state";
}

QString Utils::fileStateTmp()
{
    return dirConfig() + "/Kavrel.state.tmp";
}

QString Utils::dirLog()
{
    return dirConfig() + "/log";
}

QString Utils::dirCertificates()
{
    return dirConfig() + "/certificates";
}

QString Utils::fileCertificateCa()
{
    return dirCertificates() + "/ca.crt";
}

QString Utils::fileCertificateSsl(QString name)
{
    return dirCertificates() + "/" + name.replace(':', '-') + ".p12";
}

QString Utils::passwordCertificateSsl()
{
    return "kretu";
}

QString Utils::cnPrefixCerificateCa()
{
    return "Obrenta Kavrel CA";
}

QString Utils::protocolHandlerScheme()
{
    return "obrenta-kavrel";
}

QByteArray Utils::readFile(QString path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning() << "Utils::readFile: Nepodarilo sa otvorit subor " << path << "-" << file.errorString();
        return QByteArray();
    }
    const QByteArray data = file.readAll();
    if (data.isEmpty())
        qWarning() << "Utils::readFile: Nepodarilo sa nacitat subor " << path << "-" << file.errorString();
    file.close();
    return data;
}

bool Utils::removeFile(QString path)
{
    return QFile::remove(path) || !QFileInfo::exists(path);
}

bool Utils::isFirstInstance()
{
    return Server::lastInstance != nullptr;
}

// Read once per process: later changes of the state file are not seen.
static QStringList serverUrls;

QStringList Utils::getServerUrls()
{
    if (!serverUrls.isEmpty())
        return serverUrls;
    const QByteArray content = readFile(fileState());
    if (!content.isEmpty())
        serverUrls = readServerUrls(content);
    if (serverUrls.isEmpty())
        qCritical().noquote() << tr("Nepodarilo sa prečítať informácie o stave.");
    return serverUrls;
}

QStringList Utils::readServerUrls(const QByteArray &content)
{
    QStringList urls;
    const QStringList lines = QString::fromUtf8(content).trimmed().split('\n', Qt::SkipEmptyParts);
    for (const QString &line : lines)
        if (!line.trimmed().isEmpty())
            urls << line.trimmed();
    return urls;
}

QString Utils::getServerUrlByHostname(QString hostname)
{
    const QStringList urls = getServerUrls();
    for (const QString &url : urls)
        if (QUrl(url, QUrl::TolerantMode).host(QUrl::FullyDecoded) == hostname)
            return url;
    return QString();
}

QMap<QString, QHostAddress> Utils::hostnames()
{
    QMap<QString, QHostAddress> table;
    table.insert("kavrel.localhost", QHostAddress("127.0.0.1"));
    return table;
}

QString Utils::ipToHostname(QString ipOrHostname)
{
    static const QString literalSuffix = ".ipv6-literal.net";
    if (ipOrHostname.endsWith(literalSuffix)) {
        ipOrHostname.chop(literalSuffix.size());
        ipOrHostname.replace('-', ':');
    }
    const QMap<QString, QHostAddress> table = hostnames();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (it.key() == ipOrHostname || it.value().toString() == ipOrHostname)
            return it.key();
        QHostAddress address;
        if (address.setAddress(ipOrHostname) && address.protocol() == QAbstractSocket::IPv6Protocol
            && QHostAddress(address.toIPv6Address()).toString() == it.value().toString())
            return it.key();
    }
    return QString();
}

static void showMessage(QMessageBox::Icon icon, const QString &msg, const QString &info)
{
    QMessageBoxResize box;
    box.setIcon(icon);
    box.setText(msg);
    box.setInformativeText(info);
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    box.setDetailedText(Logger::getMessages());
    Utils::disableQMessageBoxWrapping(box);
    box.exec();
}

void Utils::showWarningMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Warning, msg, info);
}

void Utils::showInfoMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Information, msg, info);
}

void Utils::showErrorMessage(QString msg, QString info)
{
    showMessage(QMessageBox::Critical, msg, info);
}

void Utils::disableQMessageBoxWrapping(QMessageBox &box)
{
    const QList<QWidget *> widgets = box.findChildren<QWidget *>();
    for (QWidget *widget : widgets) {
        if (QLatin1String(widget->metaObject()->className()) != QLatin1String("QMessageBoxDetailsText"))
            continue;
        if (QTextEdit *edit = widget->findChild<QTextEdit *>())
            edit->setWordWrapMode(QTextOption::NoWrap);
    }
}
