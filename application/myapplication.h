#ifndef MYAPPLICATION_H
#define MYAPPLICATION_H

#include <QApplication>
#include <QString>

class MainSingleton;

class MyApplication : public QApplication
{
    Q_OBJECT

public:
    MyApplication(int &argc, char **argv);

    // The language stored in either settings file, asking the user on the
    // very first run; empty when the user cancelled.
    static QString storedLanguage();

protected:
    bool event(QEvent *e) override;
};

void changeLanguage(MainSingleton *m, QString lang);

#endif // MYAPPLICATION_H
