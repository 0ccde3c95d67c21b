#include "installationfilemanager.h"

#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

#include <cstdio>

InstallationFileManager::InstallationFileManager(QObject *parent)
    : QObject(parent)
    , ns("http://www.obrenta.sk/ep/products/kavrel/configuration/installation/v1.0")
{
}

// Written under a temporary name and renamed, so readers never see half a record.
bool InstallationFileManager::install()
{
    uninstall();
    Utils::createDirConfig();
    QFile file(Utils::fileInstallationTmp());
    if (!file.open(QIODevice::WriteOnly)
        || !file.setPermissions(QFile::ReadOwner | QFile::WriteOwner)) {
        qCritical().noquote() << tr("Nepodarilo sa zapísať informácie o inštalácií.");
        return false;
    }
    QXmlStreamWriter writer(&file);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeDefaultNamespace(ns);
    writer.writeStartElement(ns, "Installation");
    writer.writeTextElement(ns, "Version", QCoreApplication::applicationVersion());
    writer.writeTextElement(ns, "Path", Utils::fileApp());
    writer.writeEndElement();
    writer.writeEndDocument();
    if (writer.hasError() || !file.flush()) {
        qCritical().noquote() << tr("Nepodarilo sa zapísať informácie o inštalácií.");
        return false;
    }
    file.close();
    // Unlike QFile::rename, rename(2) replaces a record that a parallel run put there meanwhile.
    if (std::rename(QFile::encodeName(Utils::fileInstallationTmp()).constData(),
                    QFile::encodeName(Utils::fileInstallation()).constData())
        != 0) {
        qCritical().noquote() << tr("Nepodarilo sa aktualizovať informácie o inštalácií.");
        return false;
    }
    return true;
}

// Only local names count, and only the first two children of the root.
bool InstallationFileManager::check()
{
    QFile file(Utils::fileInstallation());
    if (!file.open(QIODevice::ReadOnly))
        return false;
    QXmlStreamReader reader(&file);
    bool pathMatches = false;
    bool versionMatches = false;
    if (reader.readNextStartElement() && reader.name() == QLatin1String("Installation")) {
        for (int i = 0; i < 2 && reader.readNextStartElement(); ++i) {
            const QString name = reader.name().toString();
            const QString text = reader.readElementText();
            if (name == "Path" && text == Utils::fileApp())
                pathMatches = true;
            else if (name == "Version" && text == QCoreApplication::applicationVersion())
                versionMatches = true;
        }
    }
    file.close();
    return pathMatches && versionMatches;
}

bool InstallationFileManager::uninstall()
{
    Utils::removeFile(Utils::fileInstallation());
    Utils::removeFile(Utils::fileInstallationTmp());
    return true;
}
