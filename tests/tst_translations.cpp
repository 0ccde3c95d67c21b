#include "testsupport.h"

#include <QFile>
#include <QSet>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

using namespace TestSupport;

// The Linux store manager has no store to read a certificate from; the
// other platforms' variants use this entry.
static const QString OTHER_PLATFORMS = "CertificateManagerOs\nNepodarilo sa prečítať položku CN z certifikátu.";

// "context\nsource" of every current message of a catalogue.
static QSet<QString> messages(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    QSet<QString> found;
    QXmlStreamReader xml(&file);
    QString context;
    QString source;
    while (!xml.atEnd()) {
        xml.readNext();
        if (!xml.isStartElement())
            continue;
        if (xml.name() == QLatin1String("name"))
            context = xml.readElementText();
        else if (xml.name() == QLatin1String("source"))
            source = xml.readElementText();
        else if (xml.name() == QLatin1String("translation")) {
            const QString type = xml.attributes().value("type").toString();
            if (type != "obsolete" && type != "vanished")
                found << context + "\n" + source;
        }
    }
    return found;
}

class TestTranslations : public QObject
{
    Q_OBJECT

private slots:
    void catalogueMatchesCode();
};

// Every text the code translates has an English entry, and every entry is
// still shown somewhere.
void TestTranslations::catalogueMatchesCode()
{
    const QString lupdate = QStandardPaths::findExecutable("lupdate", {"/usr/lib/qt5/bin"});
    QVERIFY(!lupdate.isEmpty());
    QTemporaryDir dir;
    const QString fromCode = dir.filePath("code.ts");
    int code = -1;
    const QString out = runTool(lupdate,
                                {"-silent", "-locations", "none", "-no-obsolete",
                                 QString(KAVREL_SOURCE_DIR) + "/application", "-ts", fromCode},
                                &code);
    QVERIFY2(code == 0, qPrintable(out));

    const QSet<QString> used = messages(fromCode);
    const QSet<QString> catalogue = messages(QString(KAVREL_SOURCE_DIR) + "/translations/kavrel_en.ts");
    QVERIFY(used.size() > 50);
    QStringList missing = (used - catalogue).values();
    QStringList unused = (catalogue - used - QSet<QString>{OTHER_PLATFORMS}).values();
    missing.sort();
    unused.sort();
    QCOMPARE(missing, QStringList());
    QCOMPARE(unused, QStringList());
}

QTEST_MAIN(TestTranslations)
#include "tst_translations.moc"
