#ifndef ADMINPOLICY_H
#define ADMINPOLICY_H

#include <QString>
#include <QStringList>

// What is to become of a launch.
enum class LaunchDecision { Allow, Refuse, Ask };

// The administrator's rules for every user of the machine, from a root-owned
// file in the format of config.ini. A file that is missing imposes nothing;
// one that cannot be trusted or understood is ignored as a whole, with a
// warning naming it, never applied in part.
class AdminPolicy
{
public:
    static const QString PATH;
    // Bigger is no policy an administrator writes by hand.
    static const qint64 MAX_SIZE = 65536;

    // The policy at PATH as it stands now.
    static AdminPolicy read();

    // Whether a page that declared this origin may connect as master.
    bool admitsOrigin(const QString &origin) const;
    // The decision for an address, given what the user stored for it (their
    // state and the switch for all Java Web Start applications).
    LaunchDecision decide(const QString &url, const QString &userState, bool webStartDisabled) const;
    // Whether the administrator decides this address, whatever the user set.
    bool decides(const QString &url) const;
    bool isLocked() const { return locked; }

private:
    // Empty when the file's content is sound; else what is wrong with it.
    QString parse(const QString &copy);

    QString defaultDecision;
    QStringList allow;
    QStringList refuse;
    bool restrictsOrigins = false;
    QStringList origins;
    bool locked = false;
};

#endif // ADMINPOLICY_H
