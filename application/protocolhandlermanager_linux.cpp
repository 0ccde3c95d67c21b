#include "protocolhandlermanager.h"

#include "runprocess.h"
#include "utils.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>

static const char *const FAILED_KEY = "protocol_installation_failed";

static QString desktopFileName()
{
    return Utils::protocolHandlerScheme() + ".desktop";
}

// Size directory below icons/hicolor and the resource copied there.
static const char *const ICONS[][2] = {
    {"16x16/apps", ":/pixmaps/kavrel_16alt"}, {"24x24/apps", ":/pixmaps/kavrel_24"},
    {"32x32/apps", ":/pixmaps/kavrel"},       {"48x48/apps", ":/pixmaps/kavrel_48"},
    {"64x64/apps", ":/pixmaps/kavrel_64"},    {"128x128/apps", ":/pixmaps/kavrel_128"},
    {"256x256/apps", ":/pixmaps/kavrel_256"},
};

static QString iconFile(const QString &dataDir, const char *sizeDir)
{
    return dataDir + "/icons/hicolor/" + sizeDir + "/" + Utils::protocolHandlerScheme() + ".png";
}

// Runs a desktop tool by name, its output going to ours, within its time
// limit; 0 is the only success.
static bool runTool(const QString &program, const QStringList &args, const char *failure)
{
    const int code = RunProcess::execute(program, args);
    if (code != 0)
        qWarning() << failure << code;
    return code == 0;
}

static bool updateIconTheme()
{
    return runTool("xdg-icon-resource", {"forceupdate"}, "Nepodarilo sa obnovit temu. Navratovy kod: ");
}

static bool updateDesktopDatabase(const QString &appsDir)
{
    return runTool("update-desktop-database", {"-q", appsDir},
                   "Nepodarilo sa spustit update-desktop-database. Navratovy kod: ");
}

ProtocolHandlerManager::ProtocolHandlerManager(QObject *parent)
    : QObject(parent)
{
}

// A path holding a character that the desktop entry format reserves in Exec
// is quoted, with ", `, $ and \ escaped inside the quotes; then, Exec being a
// string value, every backslash is doubled and line breaks are escaped. A
// literal percent sign is always doubled, since it would start a field code.
QString ProtocolHandlerManager::execPath(const QString &path)
{
    static const QString reserved = QStringLiteral(" \t\n\r\"'\\><~|&;$*?#()`");
    QString value = path;
    bool quote = false;
    for (const QChar c : path)
        quote = quote || reserved.contains(c);
    if (quote) {
        QString quoted = "\"";
        for (const QChar c : path) {
            if (c == '"' || c == '`' || c == '$' || c == '\\')
                quoted += '\\';
            quoted += c;
        }
        value = quoted + "\"";
    }
    value.replace('\\', "\\\\").replace('\n', "\\n").replace('\r', "\\r");
    return value.replace('%', "%%");
}

bool ProtocolHandlerManager::check()
{
    if (Utils::config()->value(FAILED_KEY).toString() == "1")
        return false;
    const QString path = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation) + "/"
        + desktopFileName();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QString wanted = "Exec=" + execPath(Utils::fileApp()) + " ";
    bool found = false;
    while (!found && !file.atEnd())
        found = QString::fromUtf8(file.readLine()).startsWith(wanted);
    file.close();
    return found && QFileInfo(path).permission(QFile::ReadOwner | QFile::ExeOwner);
}

bool ProtocolHandlerManager::install()
{
    const QString appsDir = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    if (appsDir.isEmpty()) {
        qWarning() << "Nepodarilo sa ziskat umiestnenie adresara $XDG_DATA_HOME/applications";
        return false;
    }
    if (!QDir(appsDir).exists() && !QDir().mkpath(appsDir)) {
        qWarning() << "Nepodarilo sa vytvorit adresar" << appsDir;
        return false;
    }
    const QString path = appsDir + "/" + desktopFileName();
    QFile file(path);
    if (file.exists() && !file.remove()) {
        qWarning() << "Nepodarilo sa vymazat .desktop subor";
        return false;
    }
    if (!file.open(QIODevice::WriteOnly)) {
        qWarning() << "Nepodarilo sa otvorit .desktop subor pre zapis";
        return false;
    }
    const QString scheme = Utils::protocolHandlerScheme();
    const QByteArray content = QString("[Desktop Entry]\n"
                                       "Type=Application\n"
                                       "Name=Kavrel\n"
                                       "Name[sk]=Kavrel\n"
                                       "#Comment=\n"
                                       "Icon="
                                       + scheme + "\nExec=" + execPath(Utils::fileApp())
                                       + " %U\n"
                                         "MimeType=x-scheme-handler/"
                                       + scheme + "\nCategories=Network;Security\n")
                                   .toUtf8();
    if (file.write(content) != content.size() || !file.flush()) {
        qWarning() << "Nepodarilo zapisat .desktop subor";
        return false;
    }
    file.close();
    if (!file.setPermissions(file.permissions() | QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther)) {
        qWarning() << "Nepodarilo sa nastavit opravnenia pre .desktop subor";
        return false;
    }

    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataDir.isEmpty()) {
        qWarning() << "Nepodarilo sa ziskat umiestnenie adresara $XDG_DATA_HOME";
    } else {
        for (const auto &icon : ICONS)
            QDir().mkpath(dataDir + "/icons/hicolor/" + icon[0]);
        for (const auto &icon : ICONS) {
            // Copies of resources are read-only; ours need not be.
            const QString target = iconFile(dataDir, icon[0]);
            if (QFile::copy(icon[1], target))
                QFile::setPermissions(target,
                                      QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup | QFile::ReadOther);
        }
    }

    runTool("xdg-desktop-icon", {"install", path}, "Nepodarilo zaregistrovat .desktop subor. Navratovy kod: ");
    updateIconTheme();
    if (!updateDesktopDatabase(appsDir)) {
        Utils::changeConfig([](QSettings &settings) { settings.setValue(FAILED_KEY, 1); });
        Utils::showErrorMessage(tr("Nepodarilo sa zaregistrovať aplikáciu."),
                                tr("Uistite sa, že máte nainštalovanú sadu nástrojov desktop-file-utils a "
                                   "reštartujte aplikáciu."));
    }
    return true;
}

bool ProtocolHandlerManager::uninstall()
{
    bool result = false;
    const QString dataDir = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    if (dataDir.isEmpty()) {
        qWarning() << "Nepodarilo sa ziskat umiestnenie adresara $XDG_DATA_HOME";
    } else {
        if (QDir(dataDir + "/icons/hicolor").exists())
            for (const auto &icon : ICONS)
                QFile::remove(iconFile(dataDir, icon[0]));
        result = true;
    }
    const QString appsDir = QStandardPaths::writableLocation(QStandardPaths::ApplicationsLocation);
    if (!appsDir.isEmpty()) {
        const QString path = appsDir + "/" + desktopFileName();
        if (QFile::exists(path) && !QFile::remove(path)) {
            qWarning() << "Nepodarilo sa vymazat .desktop subor";
            result = false;
        }
        updateIconTheme();
        updateDesktopDatabase(appsDir);
    }
    return result;
}
