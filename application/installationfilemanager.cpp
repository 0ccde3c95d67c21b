#include "installationfilemanager.h"

#include "logger.h"
#include "utils.h"

#include <QCoreApplication>
#include <QDebug>
#include <QFile>
#include <QXmlStreamReader>
#include <QXmlStreamWriter>

InstallationFileManager::InstallationFileManager(QObject *parent)
    : QObject(parent)
    , ns("http://www.obrenta.sk/ep/products/kavrel/configuration/installation/v1.0")
{
}

// Written under installation.xml.tmp and renamed, so readers never see half a
// record, over one that a parallel run may have put there meanwhile.
bool InstallationFileManager::install()
{
    uninstall();
    Utils::createDirConfig();
    QByteArray record;
    QXmlStreamWriter writer(&record);
    writer.setAutoFormatting(true);
    writer.writeStartDocument();
    writer.writeDefaultNamespace(ns);
    writer.writeStartElement(ns, "Installation");
    writer.writeTextElement(ns, "Version", QCoreApplication::applicationVersion());
    writer.writeTextElement(ns, "Path", Utils::fileApp());
    writer.writeEndElement();
    writer.writeEndDocument();
    const Utils::WriteResult written = Utils::writePrivateFile(Utils::fileInstallation(), record);
    if (written == Utils::RenameFailed)
        Logger::giveUp(tr("Nepodarilo sa aktualizovať informácie o inštalácií."));
    else if (written != Utils::Written)
        Logger::giveUp(tr("Nepodarilo sa zapísať informácie o inštalácií."));
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
