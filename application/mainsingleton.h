#ifndef MAINSINGLETON_H
#define MAINSINGLETON_H

#include <QStringList>
#include <QWidget>

class QAction;
class QMenu;

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

    QMenu *menu = nullptr;
    bool m_quitRequested = false;
};

void onExit();
bool isWebStartInstalled();

#endif // MAINSINGLETON_H
