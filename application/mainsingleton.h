#ifndef MAINSINGLETON_H
#define MAINSINGLETON_H

#include <QMap>
#include <QStringList>
#include <QVariant>
#include <QWidget>

class QAction;
class QMenu;
class QSettings;
class Server;

// The long-running agent of a user. Never shown: it owns the server.
class MainSingleton : public QWidget
{
    Q_OBJECT

public:
    explicit MainSingleton(QWidget *parent = nullptr);

    int run(QStringList args);
    void checkConfigiration(bool forceInstall);
    void startServer();
    void installTrayIcon();
    void retranslateUi();

public slots:
    void installCa();
    void showSettings();
    void showAbout();
    void quit();
    void slotLanguageChanged(QAction *action);

private:
    void quitOnSignals();
    static QString serverToken(const QSettings &settings, QMap<QString, QVariant> *changes);
    static QStringList listenOnHostnames(Server *server, const QSettings &settings, QMap<QString, QVariant> *changes);
    static void writeState(const QStringList &urls, const QString &token);

    QMenu *menu = nullptr;
    bool m_quitRequested = false;
};

void onExit();
bool isWebStartInstalled();

#endif // MAINSINGLETON_H
