#ifndef WIRE_H
#define WIRE_H

#include <QString>
#include <QVariantMap>

// What both listeners, the main server and the redirect server, say and check
// on the wire: the JSON-RPC envelope, the token a peer presents and the
// address handed back to it.
class Wire
{
public:
    // The reason of close 1008 for a connection that is not let in.
    static const QString DENIED;

    // One JSON-RPC message: compact, members in name order, a null id as null.
    static QString createCommand(const QString &id, const QString &method, const QVariantMap &params);
    // The largest message, in UTF-16 code units, that is read as a command.
    // Commands are small, and reading JSON takes many times the text's size.
    static const int MAX_COMMAND_SIZE = 64 * 1024;
    enum Command { NoCommand, Launch, LaunchStatus };
    // The command of ours that msg claims to be by the first "method" member
    // of its top-level object; never NoCommand for a message that readCommand
    // reads as kavrel.launch or kavrel.launchStatus. Reads msg up to that
    // member, whatever its size, and takes no memory.
    static Command claimedCommand(const QString &msg);
    // The method of a received message (empty when unreadable or larger than
    // MAX_COMMAND_SIZE) and its params.
    static QString readCommand(const QString &msg, QVariantMap *params);

    // Compares a presented token with the expected one in time that does not
    // depend on where they differ.
    static bool sameToken(const QString &presented, const QString &expected);

    // The request's host when it is one of the agent's own loopback names or
    // addresses, else the listener's name: the host header is the peer's to write.
    static QString ownHost(const QString &requestHost, const QString &listenerName);
    // url with the host the caller used, as far as ownHost lets it through:
    // each caller is given back a name it can reach. Empty for an empty url.
    static QString callerUrl(const QString &url, const QString &requestHost, const QString &listenerName);
};

#endif // WIRE_H
