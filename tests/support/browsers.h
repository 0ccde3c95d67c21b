#ifndef BROWSERS_H
#define BROWSERS_H

#include "testsupport.h"

#include <QString>
#include <QStringList>

class QProcess;

// Debian's Chromium and Firefox ESR, headless, under the current HOME and XDG
// directories, with nothing that weakens their certificate checks.
namespace Browsers {
// Chromium with its own profile in the home; extra arguments go before the URL.
ChildResult chromium(const QString &url, const QStringList &extra = {}, int timeoutMs = 60000);
// The same Chromium, started and left open on the page until the caller ends it.
void startChromium(QProcess &process, const QString &url, const QStringList &extra = {});
// Firefox ESR in the profile of firstFirefoxRun(), left open on the page.
void startFirefox(QProcess &process, const QString &profile, const QString &url);
// A new account's first Firefox run; returns the directory of the profile's
// certificate store, empty when none was made.
QString firstFirefoxRun();
// Chromium makes its store at its first TLS handshake, here with a throwaway
// server; returns the store's directory, empty when none was made.
QString firstChromiumRun();
} // namespace Browsers

#endif // BROWSERS_H
