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

// The text of a JSON string starting at json[i] (a quote); i ends after it.
QString readJsonString(const QString &json, int &i)
{
    static const QString escapes = "\"\\/bfnrt";
    static const QString meanings = "\"\\/\b\f\n\r\t";
    QString text;
    for (++i; i < json.size() && json[i] != '"'; ++i) {
        if (json[i] != '\\') {
            text += json[i];
        } else if (++i < json.size()) {
            if (json[i] == 'u') {
                text += QChar(json.midRef(i + 1, 4).toUShort(nullptr, 16));
                i += 4;
            } else {
                const int known = escapes.indexOf(json[i]);
                text += known < 0 ? json[i] : meanings[known];
            }
        }
    }
    ++i;
    return text;
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
    for (int i = 0; i < json.size();) {
        const QChar c = json[i];
        if (c == '"') {
            const bool isKey = !open.isEmpty() && open.last().expectingKey;
            const QString text = readJsonString(json, i);
            if (isKey) {
                if (open.last().keys.contains(text))
                    return true;
                open.last().keys.insert(text);
                open.last().expectingKey = false;
            }
            continue;
        }
        if (c == '{' || c == '[')
            open.append({c == '{', c == '{', {}});
        else if ((c == '}' || c == ']') && !open.isEmpty())
            open.removeLast();
        else if (c == ',' && !open.isEmpty() && open.last().isObject)
            open.last().expectingKey = true;
        ++i;
    }
    return false;
}

} // namespace

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
    if (hasRepeatedKey(msg)) {
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
