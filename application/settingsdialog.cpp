#include "settingsdialog.h"
#include "ui_settingsdialog.h"

#include "javaappsmanager.h"
#include "nativeappsmanager.h"
#include "securityitemdelegate.h"
#include "trustreportpage.h"
#include "utils.h"

#include <QDebug>
#include <QHeaderView>
#include <QList>
#include <QPushButton>
#include <QSettings>
#include <QStandardItem>
#include <QStandardItemModel>
#include <QStringList>

const QString SettingsDialog::ENABLED = "enabled";
const QString SettingsDialog::DISABLED = "disabled";
const QString SettingsDialog::ASK = "ask";
const QString SettingsDialog::DEFAULT = "";
const QString SettingsDialog::APP_PREFIX = "application_";

SettingsDialog::SettingsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::SettingsDialog)
    , model(nullptr)
    , delegate(nullptr)
{
    ui->setupUi(this);
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(tr("Zrušiť"));
    // Native applications do not exist on this platform.
    ui->txtDisableNative->setEnabled(false);
    // Where browsers trust the agent is a page of its own.
    (new TrustReportPage(this))->addAsTab(ui->verticalLayout, tr("Aplikácie"));

    const std::unique_ptr<QSettings> settings = Utils::config();
    const AdminPolicy policy = AdminPolicy::read();
    const bool webStartDisabled = settings->value("settings/disableWebStartApps", false).toBool();
    ui->txtDisableJava->setChecked(webStartDisabled);
    if (policy.isLocked()) {
        ui->txtDisableJava->setEnabled(false);
        ui->txtDisableJava->setToolTip(tr("Nastavené správcom"));
    }
    ui->txtDisableNative->setChecked(settings->value("settings/disableNativeApps", false).toBool());

    model = new QStandardItemModel(0, 4, this);
    ui->treeView->setModel(model);
    delegate = new SecurityItemDelegate(this);
    ui->treeView->setItemDelegate(delegate);
    model->setHorizontalHeaderLabels({tr("Názov aplikácie"), tr("URL"), tr("Stav"), tr("Stránka")});

    // Linux lists no native applications, so none is added here.
    NativeAppsManager::list();

    // Group, then its URL and the title found for it.
    QMap<QString, QPair<QString, QString>> titlesFound;
    const QStringList groups = settings->childGroups();
    for (const QString &group : groups) {
        if (!group.startsWith(APP_PREFIX, Qt::CaseSensitive))
            continue;
        QString title = settings->value(group + "/title").toString();
        const QString url = settings->value(group + "/url").toString();
        if (url.isEmpty())
            continue;
        if (title.isEmpty()) {
            title = getAppTitle(url);
            titlesFound.insert(group, {url, title});
        }
        auto *titleItem = new QStandardItem(title);
        titleItem->setEditable(false);
        titleItem->setToolTip(title);
        auto *urlItem = new QStandardItem(url);
        urlItem->setEditable(false);
        // Elided in the middle when long; the whole address is here.
        urlItem->setToolTip(url);
        auto *stateItem = new QStandardItem(settings->value(group + "/state").toString());
        if (policy.decides(url)) {
            // Shown as the administrator has it, greyed; never edited nor saved.
            const LaunchDecision decision = policy.decide(url, stateItem->text(), webStartDisabled);
            stateItem->setText(decision == LaunchDecision::Allow        ? ENABLED
                                   : decision == LaunchDecision::Refuse ? DISABLED
                                                                        : ASK);
            stateItem->setEnabled(false);
            stateItem->setEditable(false);
            stateItem->setToolTip(tr("Nastavené správcom"));
        }
        // The site whose page asked for it last.
        auto *originItem = new QStandardItem(settings->value(group + "/origin").toString());
        originItem->setEditable(false);
        originItem->setToolTip(originItem->text());
        model->appendRow(QList<QStandardItem *>{titleItem, urlItem, stateItem, originItem});
    }
    // Kept even on Cancel.
    if (!titlesFound.isEmpty())
        Utils::changeConfig([&titlesFound](QSettings &s) {
            // Only where the group still names the same application untitled.
            for (auto it = titlesFound.cbegin(); it != titlesFound.cend(); ++it) {
                if (s.value(it.key() + "/url").toString() == it.value().first
                    && s.value(it.key() + "/title").toString().isEmpty())
                    s.setValue(it.key() + "/title", it.value().second);
            }
        });

    // The state is the one thing to edit here, so its column keeps its
    // content's width in view; title and address share the rest, long ones
    // elided in the middle where scheme and file name stay readable.
    QHeaderView *header = ui->treeView->header();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    ui->treeView->setTextElideMode(Qt::ElideMiddle);
    // Room for eight rows (of state boxes) at least, not the three or four
    // that the settings above leave at the dialog's first size.
    const int rowHeight = delegate->sizeHint(QStyleOptionViewItem(), model->index(0, 2)).height();
    ui->treeView->setMinimumHeight(header->sizeHint().height() + 8 * rowHeight + 2 * ui->treeView->frameWidth());
    ui->treeView->setSortingEnabled(true);
    // The sort is stable: by title, equal titles by URL.
    ui->treeView->sortByColumn(1, Qt::AscendingOrder);
    ui->treeView->sortByColumn(0, Qt::AscendingOrder);
}

SettingsDialog::~SettingsDialog()
{
    delete ui;
}

void SettingsDialog::accept()
{
    Utils::changeConfig([this](QSettings &settings) {
        // Locked by the administrator, the switches stay as they were.
        if (ui->txtDisableJava->isEnabled()) {
            settings.setValue("settings/disableWebStartApps", ui->txtDisableJava->isChecked());
            settings.setValue("settings/disableNativeApps", ui->txtDisableNative->isChecked());
        }
        for (int row = 0; row < model->rowCount(); ++row) {
            if (!model->item(row, 2)->isEnabled())
                continue;
            const QString group = findGroup(settings, model->item(row, 1)->text());
            // The group may have been removed by hand while the dialog was open.
            if (!group.isEmpty())
                settings.setValue(group + "/state", model->item(row, 2)->text());
        }
    });
    QDialog::accept();
}

LaunchDecision SettingsDialog::checkApp(QString url, QString origin)
{
    const std::unique_ptr<QSettings> settings = Utils::config();
    const QString group = findGroup(*settings, url);
    const QString state = group.isEmpty() ? QString() : settings->value(group + "/state").toString();
    // Remembered even when refused, with the site that asked, so the user
    // finds it in the dialog; written only when something changed.
    if (group.isEmpty() || (!origin.isEmpty() && settings->value(group + "/origin").toString() != origin)) {
        Utils::changeConfig([&url, &origin](QSettings &s) {
            QString found = findGroup(s, url);
            if (found.isEmpty()) {
                found = newGroup(s);
                s.setValue(found + "/url", url);
            }
            if (!origin.isEmpty())
                s.setValue(found + "/origin", origin);
        });
    }
    // No address counts as native here, so only the Java Web Start switch decides.
    const QString key = NativeAppsManager::isNativeUrl(url) ? "settings/disableNativeApps"
                                                            : "settings/disableWebStartApps";
    const AdminPolicy policy = AdminPolicy::read();
    if (policy.decides(url))
        qInfo() << "O spusteni aplikacie" << url << "rozhoduju pravidla spravcu";
    return policy.decide(url, state, settings->value(key, false).toBool());
}

QString SettingsDialog::findGroup(QSettings &s, QString url)
{
    QStringList groups = s.childGroups();
    groups.sort(Qt::CaseSensitive);
    for (const QString &group : groups) {
        if (group.startsWith(APP_PREFIX, Qt::CaseSensitive) && s.value(group + "/url").toString() == url)
            return group;
    }
    return QString();
}

QString SettingsDialog::newGroup(QSettings &s)
{
    int highest = -1;
    const QStringList groups = s.childGroups();
    for (const QString &group : groups) {
        if (!group.startsWith(APP_PREFIX, Qt::CaseSensitive))
            continue;
        bool ok = false;
        const int n = group.mid(APP_PREFIX.size()).toInt(&ok);
        if (ok && n > highest)
            highest = n;
    }
    return APP_PREFIX + QString::number(highest + 1);
}

QString SettingsDialog::securityToLabel(QString securityId)
{
    if (securityId == ENABLED)
        return tr("Povolené");
    if (securityId == DISABLED)
        return tr("Zakázané");
    if (securityId == ASK)
        return tr("Opýtať sa");
    if (securityId == DEFAULT)
        return tr("Predvolené");
    return QString();
}

QString SettingsDialog::getAppTitle(QString url)
{
    return JavaAppsManager::getTitle(url);
}
