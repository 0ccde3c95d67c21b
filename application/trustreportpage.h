#ifndef TRUSTREPORTPAGE_H
#define TRUSTREPORTPAGE_H

#include <QWidget>

class QBoxLayout;
class QLabel;
class QPushButton;
class QTreeWidget;

// Every certificate store the agent looks at, whose it is, where it lies and
// whether it trusts the agent's CA, with a repair for those that do not.
class TrustReportPage : public QWidget
{
    Q_OBJECT

public:
    explicit TrustReportPage(QWidget *parent = nullptr);

    // Turns what a dialog's layout holds above its last item (the buttons)
    // into a first tab, and this page into a second.
    void addAsTab(QBoxLayout *dialogLayout, const QString &firstTitle);

public slots:
    // Asks every store again; certutil runs while the event loop serves.
    void refresh();
    void repair();

protected:
    void showEvent(QShowEvent *event) override;

private:
    QLabel *summary;
    QTreeWidget *list;
    QPushButton *btnRefresh;
    QPushButton *btnRepair;
    bool filled = false;
};

#endif // TRUSTREPORTPAGE_H
