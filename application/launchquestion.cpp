#include "launchquestion.h"

#include "adminpolicy.h"
#include "server.h"
#include "settingsdialog.h"
#include "utils.h"

#include <QCheckBox>
#include <QDebug>
#include <QMessageBox>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <QWebSocket>

namespace {

// Longer addresses are shown cut in the middle, and whole in the details.
const int SHOWN_URL = 200;

} // namespace

LaunchQuestion::LaunchQuestion(QObject *parent)
    : QObject(parent)
    , timer(new QTimer(this))
{
    timer->setSingleShot(true);
    connect(timer, &QTimer::timeout, this, [this]() {
        qWarning() << "Pouzivatel neodpovedal vcas na otazku o spusteni aplikacie" << queue.first().url;
        finish(false, false);
    });
}

LaunchQuestion::~LaunchQuestion()
{
    // Gone unanswered: nothing is started on the way out.
    if (box)
        box->disconnect(this);
    delete box;
}

void LaunchQuestion::ask(QWebSocket *page, const QString &url, const std::function<void(bool)> &answer)
{
    if (queue.size() >= MAX_PENDING) {
        qWarning() << "Prilis vela otazok na spustenie aplikacii - odmietam" << url;
        answer(false);
        return;
    }
    // The origin the browser declared for the page, which the page cannot choose.
    queue.append({page, page->property(PROPERTY_SESSION_ID).toString(), page->origin(), url, answer,
                  connect(page, &QWebSocket::disconnected, this, [this, page]() { gone(page); })});
    qInfo() << "Pytam sa pouzivatela, ci stranka" << page->origin() << "smie spustit aplikaciu" << url;
    showNext();
}

bool LaunchQuestion::asks(const QString &sessionId) const
{
    for (const Pending &pending : queue)
        if (pending.sessionId == sessionId)
            return true;
    return false;
}

void LaunchQuestion::showNext()
{
    if (box || queue.isEmpty())
        return;
    const Pending &next = queue.first();
    const QString origin = next.origin.isEmpty() ? tr("(stránka neuviedla svoj pôvod)") : next.origin;
    const bool cut = next.url.size() > SHOWN_URL;
    const QString url = cut ? next.url.left(SHOWN_URL * 2 / 3) + "…" + next.url.right(SHOWN_URL / 3) : next.url;

    box = new QMessageBox(QMessageBox::Question, tr("Spustenie aplikácie"),
                          tr("Stránka %1 chce spustiť aplikáciu\n%2\n\nPovoliť jej spustenie?").arg(origin, url),
                          QMessageBox::NoButton);
    box->setObjectName("LaunchQuestion");
    // What a page sends is shown as it is, never as markup.
    box->setTextFormat(Qt::PlainText);
    box->setWindowModality(Qt::NonModal);
    box->setInformativeText(tr("Ak neodpoviete do %1 s, spustenie sa zamietne.").arg((timeoutMs + 999) / 1000));
    if (cut)
        box->setDetailedText(next.url);
    allowButton = box->addButton(tr("&Povoliť"), QMessageBox::AcceptRole);
    // Enter or Escape pressed by chance starts nothing.
    QPushButton *refuseButton = box->addButton(tr("&Nepovoliť"), QMessageBox::RejectRole);
    box->setDefaultButton(refuseButton);
    box->setEscapeButton(refuseButton);
    // Under a locked policy the user's answers are not what decides.
    if (!AdminPolicy::read().isLocked())
        box->setCheckBox(new QCheckBox(tr("&Zapamätať si odpoveď pre túto aplikáciu")));
    connect(box, &QDialog::finished, this, [this]() {
        const bool allowed = box->clickedButton() == allowButton;
        const bool remember = box->checkBox() && box->checkBox()->isChecked();
        qInfo() << "Spustenie aplikacie" << queue.first().url
                << (allowed ? "pouzivatel povolil" : "pouzivatel nepovolil") << (remember ? "natrvalo" : "raz");
        finish(allowed, remember);
    });
    box->show();
    box->raise();
    box->activateWindow();
    timer->start(timeoutMs);
}

void LaunchQuestion::finish(bool allowed, bool remember)
{
    timer->stop();
    if (box) {
        box->disconnect(this);
        box->hide();
        box->deleteLater();
        box = nullptr;
    }
    const Pending done = queue.takeFirst();
    disconnect(done.watch);
    if (remember) {
        const bool stored = Utils::changeConfig([&done, allowed](QSettings &s) {
            QString group = SettingsDialog::findGroup(s, done.url);
            if (group.isEmpty()) {
                group = SettingsDialog::newGroup(s);
                s.setValue(group + "/url", done.url);
            }
            s.setValue(group + "/state", allowed ? SettingsDialog::ENABLED : SettingsDialog::DISABLED);
        });
        if (!stored)
            qWarning() << "Nepodarilo sa zapamatat odpoved pre aplikaciu" << done.url;
    }
    done.answer(allowed);
    showNext();
}

void LaunchQuestion::gone(QWebSocket *page)
{
    for (int i = 0; i < queue.size(); ++i) {
        if (queue[i].page != page)
            continue;
        qWarning() << "Stranka odisla pred odpovedou na otazku o spusteni aplikacie" << queue[i].url;
        if (i == 0 && box) {
            finish(false, false);
        } else {
            const Pending dropped = queue.takeAt(i);
            disconnect(dropped.watch);
            dropped.answer(false);
        }
        return;
    }
}
