#include "wire.h"

#include "utils.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>
#include <QList>
#include <QMap>
#include <QSet>
#include <QUrl>

#include <openssl/crypto.h>

const QString Wire::DENIED = "Pristup zamietnuty";

namespace {

// One character of a JSON string at c, an escape read as what it stands for;
// c ends after it.
QChar readJsonChar(const QChar *&c, const QChar *end)
{
    static const QLatin1String escapes("\"\\/bfnrt");
    static const QLatin1String meanings("\"\\/\b\f\n\r\t");
    if (*c != '\\' || c + 1 == end)
        return *c++;
    const QChar escape = *++c;
    ++c;
    if (escape != 'u') {
        const int known = escapes.indexOf(escape);
        return known < 0 ? escape : meanings.at(known);
    }
    ushort code = 0;
    for (int k = 0; k < 4 && c < end; ++k, ++c) {
        const ushort digit = c->unicode();
        const ushort lower = digit | 0x20;
        code = ushort(code * 16
                      + (digit >= '0' && digit <= '9'       ? digit - '0'
                             : lower >= 'a' && lower <= 'f' ? lower - 'a' + 10
                                                            : 0));
    }
    return QChar(code);
}

// The text of a JSON string starting at c (a quote); c ends after it.
QString readJsonString(const QChar *&c, const QChar *end)
{
    QString text;
    for (++c; c < end && *c != '"';)
        text += readJsonChar(c, end);
    if (c < end)
        ++c;
    return text;
}

// What a JSON string spells, as far as a method's name goes.
struct ShortText
{
    QChar text[24];
    int size = 0;
    bool fits = true;

    bool is(QLatin1String name) const { return fits && QStringView(text, size) == name; }
};

// readJsonString without memory: past the first characters the text only
// counts as longer than any name.
ShortText readShortString(const QChar *&c, const QChar *end)
{
    ShortText read;
    const int room = int(sizeof read.text / sizeof read.text[0]);
    for (++c; c < end && *c != '"';) {
        const QChar next = readJsonChar(c, end);
        if (read.size < room)
            read.text[read.size++] = next;
        else
            read.fits = false;
    }
    if (c < end)
        ++c;
    return read;
}

bool isJsonSpace(QChar c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Qt's JSON reader loses the memory of a container whose key comes again in
// the same object, so a peer could grow the agent without end; such a text
// is not read as a command at all.
bool hasRepeatedKey(const QString &json)
{
    struct Container
    {
        bool isObject;
        bool expectingKey;
        QSet<QString> keys;
    };
    QList<Container> open;
    const QChar *c = json.constData();
    const QChar *const end = c + json.size();
    while (c < end) {
        const QChar here = *c;
        if (here == '"') {
            const bool isKey = !open.isEmpty() && open.last().expectingKey;
            const QString text = readJsonString(c, end);
            if (isKey) {
                if (open.last().keys.contains(text))
                    return true;
                open.last().keys.insert(text);
                open.last().expectingKey = false;
            }
            continue;
        }
        if (here == '{' || here == '[')
            open.append({here == '{', here == '{', {}});
        else if ((here == '}' || here == ']') && !open.isEmpty())
            open.removeLast();
        else if (here == ',' && !open.isEmpty() && open.last().isObject)
            open.last().expectingKey = true;
        ++c;
    }
    return false;
}

} // namespace

Wire::Command Wire::claimedCommand(const QString &msg)
{
    // Only the first "method" of the top-level object counts: readCommand
    // reads nothing from a text that names a member twice.
    int depth = 0;
    bool expectingKey = false;
    const QChar *c = msg.constData();
    const QChar *const end = c + msg.size();
    while (c < end) {
        const ushort u = c->unicode();
        if (u == '"') {
            const bool isKey = depth == 1 && expectingKey;
            const ShortText key = readShortString(c, end);
            if (!isKey)
                continue;
            expectingKey = false;
            if (!key.is(QLatin1String("method")))
                continue;
            while (c < end && (*c == ':' || isJsonSpace(*c)))
                ++c;
            if (c == end || *c != '"')
                return NoCommand;
            const ShortText method = readShortString(c, end);
            if (method.is(QLatin1String("kavrel.launch")))
                return Launch;
            return method.is(QLatin1String("kavrel.launchStatus")) ? LaunchStatus : NoCommand;
        }
        if (u == '{' || u == '[') {
            // A text that is not an object has no method.
            if (depth == 0 && u == '[')
                return NoCommand;
            expectingKey = ++depth == 1;
        } else if (u == '}' || u == ']') {
            if (--depth <= 0)
                return NoCommand;
        } else if (u == ',' && depth == 1) {
            expectingKey = true;
        }
        ++c;
    }
    return NoCommand;
}

QString Wire::createCommand(const QString &id, const QString &method, const QVariantMap &params)
{
    // QJsonObject keeps its members sorted by name, which is the order we promise.
    QJsonObject command;
    command.insert("id", id.isNull() ? QJsonValue(QJsonValue::Null) : QJsonValue(id));
    command.insert("jsonrpc", "2.0");
    command.insert("method", method);
    command.insert("params", QJsonObject::fromVariantMap(params));
    return QString::fromUtf8(QJsonDocument(command).toJson(QJsonDocument::Compact));
}

QString Wire::readCommand(const QString &msg, QVariantMap *params)
{
    if (msg.size() > MAX_COMMAND_SIZE || hasRepeatedKey(msg)) {
        if (params)
            params->clear();
        return QString();
    }
    const QJsonObject command = QJsonDocument::fromJson(msg.toUtf8()).object();
    if (params)
        *params = command.value("params").toObject().toVariantMap();
    return command.value("method").toString();
}

bool Wire::sameToken(const QString &presented, const QString &expected)
{
    const QByteArray a = presented.toUtf8();
    const QByteArray b = expected.toUtf8();
    // Only the length may show, and a token's length is no secret.
    return a.size() == b.size() && CRYPTO_memcmp(a.constData(), b.constData(), size_t(a.size())) == 0;
}

QString Wire::ownHost(const QString &requestHost, const QString &listenerName)
{
    const QMap<QString, QHostAddress> table = Utils::hostnames();
    for (auto it = table.cbegin(); it != table.cend(); ++it) {
        if (requestHost.compare(it.key(), Qt::CaseInsensitive) == 0)
            return it.key();
        if (requestHost == it.value().toString())
            return requestHost;
    }
    return listenerName;
}

QString Wire::callerUrl(const QString &url, const QString &requestHost, const QString &listenerName)
{
    if (url.isEmpty())
        return QString();
    QUrl rewritten(url, QUrl::TolerantMode);
    rewritten.setHost(ownHost(requestHost, listenerName));
    return rewritten.toString();
}
