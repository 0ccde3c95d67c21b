#include "mainsingleton.h"

#include "applock.h"
#include "certificategenerator.h"
#include "certificatemanagernss.h"
#include "certificatemanageros.h"
#include "installationfilemanager.h"
#include "logger.h"
#include "logsdialog.h"
#include "myapplication.h"
#include "protocolhandlermanager.h"
#include "qmessageboxresize.h"
#include "runprocess.h"
#include "server.h"
#include "settingsdialog.h"
#include "storewatcher.h"
#include "trayiconwindow.h"
#include "trustinstaller.h"
#include "utils.h"

#include <QActionGroup>
#include <QApplication>
#include <QDebug>
#include <QFile>
#include <QLocale>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QSocketNotifier>
#include <QStandardPaths>
#include <QSystemTrayIcon>
#include <QUuid>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

static QSystemTrayIcon *tray = nullptr;
static TrayIconWindow *trayW = nullptr;

// Written by the signal handler, read on the event loop.
static int signalPipe[2] = {-1, -1};

static void onSignal(int)
{
    const char byte = 1;
    if (::write(signalPipe[1], &byte, 1) < 0)
        return;
}

MainSingleton::MainSingleton(QWidget *parent)
    : QWidget(parent)
{
}

// The path as the log quotes it, as for any other path.
[[noreturn]] static void giveUpOnLock()
{
    QString text;
    QDebug(&text) << "Nepodarilo sa vytvorit zamok hlavnej instancie v adresari" << Utils::dirConfig();
    Logger::giveUp(text.trimmed());
}

int MainSingleton::run(QStringList args)
{
    Q_UNUSED(args);
    qInfo() << "Startujem v rezime hlavnej instancie";
    AppLock lock(1000);
    if (!lock.isLocked() && !lock.isHeldElsewhere())
        giveUpOnLock();
    if (!lock.isLocked()) {
        QMessageBox box(QMessageBox::Information, tr("Kavrel"), tr("Aplikácia je už spustená."), QMessageBox::Ok);
        box.exec();
        return 1;
    }
    if (!Utils::removeFile(Utils::fileState()))
        Logger::giveUp(tr("Nepodarilo sa vymazať informácie o stave."));
    std::atexit(onExit);
    quitOnSignals();
    installTrayIcon();
    checkConfigiration(false);
    // A which ended by a quit found nothing, which is no news to give.
    if (!m_quitRequested && !isWebStartInstalled() && !m_quitRequested)
        Utils::showWarningMessage(tr("Nepodarilo sa nájsť aplikáciu Java Web Start (javaws). Uistite sa, že máte "
                                     "nainštalovanú správnu verziu behového prostredia Java."));
    // Asked to end while a dialog or a helper tool held up the start: the
    // main loop would not see that request any more.
    if (m_quitRequested)
        return 0;
    new StoreWatcher(this);
    startServer();
    return QApplication::exec();
}

// SIGTERM (the uninstaller) and SIGINT end the instance the way the tray's
// quit entry does, so the lock and state files go with it.
void MainSingleton::quitOnSignals()
{
    // Kept from launched applications, which could end us with one byte; the
    // handler never blocks, even on a full pair.
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalPipe) != 0)
        return;
    ::fcntl(signalPipe[1], F_SETFL, ::fcntl(signalPipe[1], F_GETFL) | O_NONBLOCK);
    QSocketNotifier *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this]() {
        char byte;
        if (::read(signalPipe[0], &byte, 1) > 0)
            quit();
    });
    struct sigaction action = {};
    action.sa_handler = onSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
}

void MainSingleton::checkConfigiration(bool forceInstall)
{
    InstallationFileManager installation(nullptr);
    if (forceInstall || !installation.check())
        installation.install();
    ProtocolHandlerManager protocolHandler(nullptr);
    if (forceInstall || !protocolHandler.check())
        protocolHandler.install();
    CertificateGenerator generator(nullptr);
    if (!generator.check()) {
        generator.remove();
        // A set that failed half-way is no set: without its authority the
        // step below gives up.
        if (!generator.generate())
            generator.remove();
        forceInstall = true;
    }

    const QByteArray ca = Utils::readFile(Utils::fileCertificateCa());
    if (ca.isEmpty())
        Logger::giveUp(tr("Nepodarilo sa prečítať certifikát."));
    // Asked to quit meanwhile: no more tools and no notice that nobody awaits.
    if (m_quitRequested)
        return;
    const TrustInstaller::Busy busy;
    CertificateManagerNss nss(nullptr);
    CertificateManagerOs os(nullptr);
    if (!forceInstall && nss.checkCertificate(ca) && os.checkCertificate(ca))
        return;
    if (m_quitRequested)
        return;
    TrustInstaller::offer(ca, nss);
}

void MainSingleton::installCa()
{
    checkConfigiration(true);
}

void MainSingleton::startServer()
{
    Utils::createDirConfig();
    QMap<QString, QVariant> changes;
    const std::unique_ptr<QSettings> settings = Utils::config();
    const QString token = serverToken(*settings, &changes);
    Server *server = new Server(token, this);
    const QStringList urls = listenOnHostnames(server, *settings, &changes);
    if (urls.isEmpty())
        Logger::giveUp(tr("Nepodarilo sa spustiť server. Skontrolujte nastavenie brány firewall."));
    writeState(urls, token);
    // Not remembered when the settings cannot be written; this run goes on.
    if (!changes.isEmpty())
        Utils::changeConfig([&changes](QSettings &s) {
            for (auto it = changes.cbegin(); it != changes.cend(); ++it)
                s.setValue(it.key(), it.value());
        });
}

// The stored master token, or a new one to be stored.
QString MainSingleton::serverToken(const QSettings &settings, QMap<QString, QVariant> *changes)
{
    QString token = settings.value("server/token").toString();
    if (token.isEmpty()) {
        token = QUuid::createUuid().toString(QUuid::WithoutBraces);
        changes->insert("server/token", token);
    }
    return token;
}

// Each host name on its stored port when that is free, else on a new one
// to be stored; the URLs of the listeners that could start.
QStringList MainSingleton::listenOnHostnames(Server *server, const QSettings &settings,
                                             QMap<QString, QVariant> *changes)
{
    QStringList urls;
    const QMap<QString, QHostAddress> table = Utils::hostnames();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        const QString key = "server/" + it.key() + "_port";
        const quint16 port = quint16(settings.value(key).toString().toUInt());
        QString url;
        if (port != 0)
            url = server->listen(it.key(), it.value(), port);
        if (url.isEmpty()) {
            url = server->listen(it.key(), it.value(), 0);
            if (!url.isEmpty())
                changes->insert(key, server->port());
        }
        if (!url.isEmpty())
            urls << url;
    }
    return urls;
}

// Checked to the last byte: an empty state file would leave us unreachable.
void MainSingleton::writeState(const QStringList &urls, const QString &token)
{
    QByteArray state;
    for (const QString &url : urls)
        state += (url + "/master/" + token + "\n").toUtf8();
    const Utils::WriteResult written = Utils::writePrivateFile(Utils::fileState(), state, false);
    if (written == Utils::OpenFailed || written == Utils::WriteFailed)
        Logger::giveUp(tr("Nepodarilo sa zapísať informácie o stave."));
    if (written == Utils::RenameFailed)
        Logger::giveUp(tr("Nepodarilo sa aktualizovať informácie o stave."));
    // The fixed temporary name of older versions, left by a crash or placed
    // there: unlink takes a file or a link itself, never what it points to.
    ::unlink(QFile::encodeName(Utils::fileStateTmp()).constData());
}

void MainSingleton::installTrayIcon()
{
    menu = new QMenu(this);
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        tray = new QSystemTrayIcon(QIcon(":/pixmaps/kavrel"));
        tray->setContextMenu(menu);
        tray->setVisible(true);
    } else {
        trayW = new TrayIconWindow(this);
        trayW->setContextMenu(menu);
        trayW->show();
    }
    retranslateUi();
}

void MainSingleton::retranslateUi()
{
    if (!menu)
        return;
    // The previous build's submenu and group may be what is emitting the
    // switch that got us here, so they go once it has returned.
    menu->clear();
    for (QObject *old : menu->children())
        if (qobject_cast<QMenu *>(old) || qobject_cast<QActionGroup *>(old))
            old->deleteLater();

    connect(menu->addAction(tr("&Reinštalácia aplikácie")), &QAction::triggered, this, &MainSingleton::installCa);
    QMenu *languages = menu->addMenu(tr("&Jazyk"));
    QActionGroup *group = new QActionGroup(menu);
    group->setExclusive(true);
    const QString current = QLocale().name().section('_', 0, -2);
    const QList<QPair<QString, QString>> entries = {{tr("English"), "en"}, {tr("Slovenský"), "sk"}};
    for (const auto &entry : entries) {
        QAction *action = languages->addAction(entry.first);
        action->setCheckable(true);
        action->setData(entry.second);
        action->setChecked(entry.second == current);
        group->addAction(action);
    }
    connect(group, &QActionGroup::triggered, this, &MainSingleton::slotLanguageChanged);
    connect(menu->addAction(tr("&Nastavenia")), &QAction::triggered, this, &MainSingleton::showSettings);
    connect(menu->addAction(tr("&O aplikácii")), &QAction::triggered, this, &MainSingleton::showAbout);
    menu->addSeparator();
    connect(menu->addAction(tr("&Ukončiť")), &QAction::triggered, this, &MainSingleton::quit);
}

void MainSingleton::slotLanguageChanged(QAction *action)
{
    if (action)
        changeLanguage(this, action->data().toString());
}

void MainSingleton::showSettings()
{
    SettingsDialog dialog(nullptr);
    dialog.exec();
}

void MainSingleton::showAbout()
{
    QMessageBoxResize box;
    box.setIconPixmap(QPixmap(":/pixmaps/kavrel"));
    const QString nbsp5 = QString("&nbsp;").repeated(5);
    box.setText(QString("<html><table><tr><td>" + tr("Názov:") + "</td><td>" + nbsp5 + "Kavrel</td></tr><tr><td>"
                        + tr("Verzia:") + "</td><td>" + nbsp5 + "%1</td></tr><tr><td>" + tr("Autor:") + "</td><td>"
                        + nbsp5 + "Obrenta, a.s." + QString("&nbsp;").repeated(40) + "</td></tr></table></html>")
                    .arg(QCoreApplication::applicationVersion()));
    box.setStandardButtons(QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.setEscapeButton(QMessageBox::Ok);
    QPushButton *showLog = box.addButton(tr("Zobraziť denník..."), QMessageBox::ApplyRole);
    // What this build really contains, alphabetically.
    box.setDetailedText(
        tr("Zoznam použitých komponentov:\n\n")
        + QStringList{"Network Security Services (https://firefox-source-docs.mozilla.org/security/nss/)",
                      "OpenSSL (https://www.openssl.org/)", "Qt (https://www.qt.io/)", "zlib (https://zlib.net/)"}
              .join('\n'));
    Utils::disableQMessageBoxWrapping(box);
    box.setMinimumWidth(900);
    box.exec();
    if (box.clickedButton() == showLog) {
        LogsDialog logs(nullptr);
        logs.exec();
    }
}

void MainSingleton::quit()
{
    m_quitRequested = true;
    // Their answers would come to nobody; ended here, not found running at exit.
    RunProcess::endAll();
    QApplication::closeAllWindows();
    QApplication::exit(0);
}

void onExit()
{
    delete tray;
    tray = nullptr;
}

bool isWebStartInstalled()
{
    // A which that cannot be started tells us nothing, so it warns of nothing.
    if (QStandardPaths::findExecutable("which").isEmpty())
        return true;
    RunProcess which;
    return which.start("which", {"javaws"});
}
