#include "adminpolicy.h"

#include "settingsdialog.h"

#include <QDebug>
#include <QDir>
#include <QFile>
#include <QSettings>
#include <QTemporaryFile>
#include <QUrl>

#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

const QString AdminPolicy::PATH = "/etc/obrenta/kavrel/policy.ini";

namespace {

const QString GROUP = "policy/";
const QStringList KEYS{"default", "allow", "refuse", "origins", "locked"};

// The items of a comma-separated value, however the INI reader split it.
QStringList items(const QVariant &value)
{
    QStringList result;
    for (const QString &item : value.toStringList())
        if (!item.trimmed().isEmpty())
            result << item.trimmed();
    return result;
}

// "*" stands for any run of characters, everything else for itself.
bool matches(const QString &pattern, const QString &text)
{
    // Greedy with one step back to the last star: linear in practice, never
    // the exponential backtracking a naive recursion has with many stars.
    int p = 0, t = 0, star = -1, resume = 0;
    while (t < text.size()) {
        if (p < pattern.size() && pattern[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pattern.size() && pattern[p] == text[t]) {
            ++p;
            ++t;
        } else if (star >= 0) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*')
        ++p;
    return p == pattern.size();
}

bool matchesAny(const QStringList &patterns, const QString &url)
{
    for (const QString &pattern : patterns)
        if (matches(pattern, url))
            return true;
    return false;
}

// scheme://host[:port] in lower case without the scheme's default port;
// empty when text is no such origin.
QString normalOrigin(const QString &text)
{
    const QUrl url(text.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme().isEmpty() || url.host().isEmpty() || !url.path().isEmpty() || url.hasQuery()
        || url.hasFragment() || !url.userInfo().isEmpty())
        return QString();
    const QString scheme = url.scheme().toLower();
    const bool secure = scheme == "https" || scheme == "wss";
    const int port = url.port();
    const bool defaultPort = port == -1 || port == (secure ? 443 : scheme == "http" || scheme == "ws" ? 80 : -2);
    const QString host = url.host().contains(':') ? "[" + url.host() + "]" : url.host();
    return scheme + "://" + host + (defaultPort ? QString() : ":" + QString::number(port));
}

} // namespace

AdminPolicy AdminPolicy::read()
{
    const int fd = ::open(QFile::encodeName(PATH).constData(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY);
    if (fd < 0 && errno == ENOENT)
        return AdminPolicy();
    QString wrong;
    QByteArray content;
    struct stat st;
    if (fd < 0 || ::fstat(fd, &st) != 0) {
        wrong = QString("neda sa precitat: ") + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        wrong = "nie je obycajny subor";
    } else if (st.st_uid != 0) {
        wrong = "nepatri pouzivatelovi root";
    } else if ((st.st_mode & S_IWOTH) || ((st.st_mode & S_IWGRP) && st.st_gid != 0)) {
        wrong = "mozu do neho zapisovat aj ini pouzivatelia";
    } else {
        QFile file;
        if (file.open(fd, QIODevice::ReadOnly))
            content = file.read(MAX_SIZE + 1);
        if (!file.isOpen() || file.error() != QFileDevice::NoError)
            wrong = "neda sa precitat: " + file.errorString();
        else if (content.size() > MAX_SIZE)
            wrong = "je vacsi nez " + QString::number(MAX_SIZE) + " bajtov";
    }
    if (fd >= 0)
        ::close(fd);

    AdminPolicy policy;
    if (wrong.isEmpty()) {
        // QSettings reads only files, and answers from its cache for a name it
        // has seen: the checked bytes go to a private file of a name of its own.
        QTemporaryFile copy(QDir::tempPath() + "/kavrel-policy-XXXXXX");
        if (!copy.open() || copy.write(content) != content.size() || !copy.flush())
            wrong = "neda sa precitat: " + copy.errorString();
        else
            wrong = policy.parse(copy.fileName());
    }
    if (!wrong.isEmpty()) {
        qWarning() << "Subor s pravidlami spravcu sa ignoruje:" << PATH << "-" << wrong;
        return AdminPolicy();
    }
    return policy;
}

QString AdminPolicy::parse(const QString &copy)
{
    QSettings s(copy, QSettings::IniFormat);
    // The first look at the keys reads the file, and only that sets the status.
    const QStringList keys = s.allKeys();
    if (s.status() != QSettings::NoError)
        return "ma chybny tvar";
    for (const QString &key : keys) {
        // Rules of a later version: the ones known here still hold.
        if (!key.startsWith(GROUP) || !KEYS.contains(key.mid(GROUP.size())))
            qWarning() << "Neznamy kluc v pravidlach spravcu sa ignoruje:" << key;
    }
    const auto single = [&s](const QString &key, const QStringList &allowed, QString *value) {
        const QVariant raw = s.value(GROUP + key);
        *value = raw.toString().trimmed();
        return !raw.isValid() || (raw.type() == QVariant::String && allowed.contains(*value));
    };
    QString lockedText;
    if (!single("default", {"allow", "refuse", "ask"}, &defaultDecision))
        return "ma chybnu hodnotu default";
    if (!single("locked", {"true", "false"}, &lockedText))
        return "ma chybnu hodnotu locked";
    locked = lockedText == "true";
    allow = items(s.value(GROUP + "allow"));
    refuse = items(s.value(GROUP + "refuse"));
    restrictsOrigins = s.contains(GROUP + "origins");
    for (const QString &origin : items(s.value(GROUP + "origins"))) {
        if (normalOrigin(origin).isEmpty())
            return "ma chybny povod v origins: " + origin;
        origins << normalOrigin(origin);
    }
    return QString();
}

bool AdminPolicy::admitsOrigin(const QString &origin) const
{
    const QString normal = normalOrigin(origin);
    return !restrictsOrigins || (!normal.isEmpty() && origins.contains(normal));
}

LaunchDecision AdminPolicy::decide(const QString &url, const QString &userState, bool webStartDisabled) const
{
    // Refusal first, where both match.
    if (matchesAny(refuse, url))
        return LaunchDecision::Refuse;
    if (matchesAny(allow, url))
        return LaunchDecision::Allow;
    if (!locked) {
        if (userState == SettingsDialog::ENABLED)
            return LaunchDecision::Allow;
        if (userState == SettingsDialog::DISABLED)
            return LaunchDecision::Refuse;
        if (userState == SettingsDialog::ASK)
            return LaunchDecision::Ask;
        // The user's own word for every address not decided one by one.
        if (webStartDisabled)
            return LaunchDecision::Refuse;
    }
    if (defaultDecision == "refuse")
        return LaunchDecision::Refuse;
    if (defaultDecision == "ask")
        return LaunchDecision::Ask;
    return LaunchDecision::Allow;
}

bool AdminPolicy::decides(const QString &url) const
{
    return locked || matchesAny(refuse, url) || matchesAny(allow, url);
}
