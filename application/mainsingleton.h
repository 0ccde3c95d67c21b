#ifndef MAINSINGLETON_H
#define MAINSINGLETON_H

#include <QStringList>
#include <QWidget>

// The long-running agent of a user. Never shown: it owns the server.
class MainSingleton : public QWidget
{
    Q_OBJECT

public:
    explicit MainSingleton(QWidget *parent = nullptr);

    int run(QStringList args);
    void checkConfigiration(bool forceInstall);
    void startServer();

public slots:
    void installCa();
    void quit();

private:
    void quitOnSignals();

    bool m_quitRequested = false;
};

void onExit();
bool isWebStartInstalled();

#endif // MAINSINGLETON_H
