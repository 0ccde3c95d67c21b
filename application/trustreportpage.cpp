#include "trustreportpage.h"

#include "certificatemanagernss.h"
#include "trustinstaller.h"
#include "utils.h"

#include <QBoxLayout>
#include <QDir>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QTabWidget>
#include <QTimer>
#include <QTreeWidget>

namespace {

QString trustText(CertificateManagerNss::Trust trust)
{
    switch (trust) {
    case CertificateManagerNss::Trusted:
        return TrustReportPage::tr("Dôveruje");
    case CertificateManagerNss::Missing:
        return TrustReportPage::tr("Certifikát chýba");
    case CertificateManagerNss::NotTrusted:
        return TrustReportPage::tr("Prítomný, ale nedôveryhodný");
    case CertificateManagerNss::Unreadable:
        return TrustReportPage::tr("Nedá sa skontrolovať: zamknutá alebo poškodená");
    case CertificateManagerNss::TimedOut:
        return TrustReportPage::tr("Nedá sa skontrolovať: neodpovedá");
    case CertificateManagerNss::PasswordProtected:
        return TrustReportPage::tr("Nedá sa skontrolovať: chránená heslom");
    }
    return QString();
}

} // namespace

TrustReportPage::TrustReportPage(QWidget *parent)
    : QWidget(parent)
    , summary(new QLabel(this))
    , list(new QTreeWidget(this))
    , btnRefresh(new QPushButton(tr("Skontrolovať znova"), this))
    , btnRepair(new QPushButton(tr("Opraviť dôveru..."), this))
{
    setObjectName("TrustReportPage");
    summary->setObjectName("lblTrustSummary");
    // Tabs do not pass a wrapped label's height for its width on: room for
    // the lines a long path needs in a dialog of the usual width.
    summary->setWordWrap(true);
    summary->setMinimumHeight(4 * summary->fontMetrics().lineSpacing());
    summary->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    summary->setTextInteractionFlags(Qt::TextSelectableByMouse);
    list->setObjectName("trustList");
    list->setRootIsDecorated(false);
    list->setSelectionMode(QAbstractItemView::NoSelection);
    list->setTextElideMode(Qt::ElideMiddle);
    // Long paths come last, shortened in the middle; whole in their tool tips.
    list->setHeaderLabels({tr("Prehliadač"), tr("Stav"), tr("Databáza")});
    list->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    list->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
    btnRefresh->setObjectName("btnTrustRefresh");
    btnRepair->setObjectName("btnTrustRepair");
    btnRepair->setEnabled(false);
    connect(btnRefresh, &QPushButton::clicked, this, &TrustReportPage::refresh);
    connect(btnRepair, &QPushButton::clicked, this, &TrustReportPage::repair);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(btnRefresh);
    buttons->addWidget(btnRepair);
    auto *layout = new QVBoxLayout(this);
    layout->addWidget(summary);
    layout->addWidget(list);
    layout->addLayout(buttons);
}

void TrustReportPage::addAsTab(QBoxLayout *dialogLayout, const QString &firstTitle)
{
    auto *tabs = new QTabWidget(dialogLayout->parentWidget());
    tabs->setObjectName("settingsTabs");
    auto *first = new QWidget(tabs);
    auto *firstLayout = new QVBoxLayout(first);
    firstLayout->setContentsMargins(0, 0, 0, 0);
    while (dialogLayout->count() > 1) {
        QLayoutItem *item = dialogLayout->takeAt(0);
        if (QWidget *widget = item->widget()) {
            firstLayout->addWidget(widget);
            delete item;
        } else if (QLayout *inner = item->layout()) {
            inner->setParent(nullptr);
            firstLayout->addLayout(inner);
        } else {
            firstLayout->addItem(item);
        }
    }
    tabs->addTab(first, firstTitle);
    tabs->addTab(this, tr("Certifikáty"));
    dialogLayout->insertWidget(0, tabs);
}

// Asked only when the page is first seen: each store costs a certutil run.
void TrustReportPage::showEvent(QShowEvent *event)
{
    QWidget::showEvent(event);
    if (filled)
        return;
    filled = true;
    QTimer::singleShot(0, this, &TrustReportPage::refresh);
}

void TrustReportPage::refresh()
{
    const TrustInstaller::Busy busy;
    btnRefresh->setEnabled(false);
    btnRepair->setEnabled(false);
    list->clear();
    const QString caPath = QDir::toNativeSeparators(Utils::fileCertificateCa());
    const QByteArray ca = TrustInstaller::currentCa();
    if (ca.isEmpty()) {
        summary->setText(tr("Certifikát aplikácie Kavrel sa nepodarilo prečítať zo súboru:") + "\n" + caPath);
        btnRefresh->setEnabled(true);
        return;
    }
    summary->setText(tr("Prehľadávam úložiská certifikátov..."));
    CertificateManagerNss nss(nullptr);
    nss.setQuiet(true);
    const QList<CertificateManagerNss::Store> stores = nss.findStores();
    bool lacking = false;
    for (const CertificateManagerNss::Store &store : stores) {
        const CertificateManagerNss::Trust trust = nss.trustIn(store.databaseDir, ca);
        lacking = lacking || trust != CertificateManagerNss::Trusted;
        QString where = CertificateManagerNss::entryDir(store.databaseDir);
        if (!store.databaseDir.startsWith("sql:"))
            where += " (cert8.db)";
        auto *item = new QTreeWidgetItem(list, {store.browser, trustText(trust), where});
        item->setToolTip(2, where);
        item->setIcon(1,
                      style()->standardIcon(trust == CertificateManagerNss::Trusted ? QStyle::SP_DialogApplyButton
                                                                                    : QStyle::SP_MessageBoxWarning));
    }
    const QString file = tr("Certifikát na ručný import: %1").arg(caPath);
    if (stores.isEmpty())
        summary->setText(tr("Nenašlo sa žiadne úložisko certifikátov: spustite každý prehliadač aspoň raz.") + "\n"
                         + file);
    else if (lacking)
        summary->setText(tr("Niektoré úložiská nedôverujú certifikátu aplikácie Kavrel: prehliadače, ktoré ich "
                            "používajú, sa s ňou nespoja.")
                         + "\n" + file);
    else
        summary->setText(tr("Všetky nájdené úložiská dôverujú certifikátu aplikácie Kavrel.") + "\n" + file);
    btnRefresh->setEnabled(true);
    btnRepair->setEnabled(lacking);
}

void TrustReportPage::repair()
{
    const QByteArray ca = TrustInstaller::currentCa();
    if (ca.isEmpty())
        return refresh();
    CertificateManagerNss nss(nullptr);
    nss.setQuiet(true);
    TrustInstaller::offer(ca, nss);
    refresh();
}
