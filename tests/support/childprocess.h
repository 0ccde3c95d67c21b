#ifndef CHILDPROCESS_H
#define CHILDPROCESS_H

#include <QByteArray>
#include <QProcess>
#include <QString>

// A child whose standard error is collected as it comes, and that does not
// outlive the test that started it.
class ChildProcess : public QProcess
{
public:
    ChildProcess();
    ~ChildProcess() override;

    QString errText() const { return QString::fromLocal8Bit(err); }
    // True once the text has been logged; false when the child ended without it.
    bool waitForLog(const QString &text, int timeoutMs = 20000);
    bool ended(int timeoutMs = 20000);

    QByteArray err;
};

#endif // CHILDPROCESS_H
