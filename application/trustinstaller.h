#ifndef TRUSTINSTALLER_H
#define TRUSTINSTALLER_H

#include <QByteArray>
#include <QCoreApplication>

class CertificateManagerNss;

// Puts the agent's CA into the browsers' stores the one way the user knows:
// the notice first, then the work, then a box that tells how it went. The
// configuration check, the trust report and the watch for new stores share it.
class TrustInstaller
{
    Q_DECLARE_TR_FUNCTIONS(TrustInstaller)

public:
    // After OK on the notice: the older CAs out, the current one in wherever
    // it lacks trust, and the outcome box. False when the user declined.
    static bool offer(const QByteArray &ca, CertificateManagerNss &nss);
    // The CA file's content when it holds a certificate the stores can be
    // asked about; empty otherwise.
    static QByteArray currentCa();

    // Held while stores are checked or worked on, so that nothing else starts
    // on them from a nested event loop meanwhile.
    class Busy
    {
    public:
        Busy() { ++depth; }
        ~Busy() { --depth; }
        Busy(const Busy &) = delete;
        Busy &operator=(const Busy &) = delete;
    };
    static bool busy() { return depth > 0; }

private:
    static int depth;
};

#endif // TRUSTINSTALLER_H
