#include "settingsdialog.h"
#include "testsupport.h"
#include "utils.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QPushButton>
#include <QScrollBar>
#include <QSettings>
#include <QTreeView>
#include <QtTest>

// The dialog driven with the mouse over a real settings file.
class TestSettingsDialog : public QObject
{
    Q_OBJECT

private slots:
    void editAndSave();
    void cancelWritesNothing();
    void longAddressKeepsStateInView();
    void originOfLastLaunch();

private:
    static QVariant read(const QString &key) { return QSettings(Utils::fileConfig(), QSettings::IniFormat).value(key); }
    static void writeApps()
    {
        QVERIFY(Utils::createDirConfig());
        QSettings s(Utils::fileConfig(), QSettings::IniFormat);
        // Group number, url, title, state; empty ones stay unset.
        const QList<QStringList> apps{{"0", "b", "Beta", "ask"},
                                      {"1", "a2", "Alfa", "disabled"},
                                      {"2", "c", "", "Enabled"},
                                      {"3", "a1", "Alfa", ""},
                                      {"4", "", "No URL", ""}};
        const QStringList keys{"/url", "/title", "/state"};
        for (const QStringList &app : apps)
            for (int i = 0; i < 3; ++i)
                if (!app[i + 1].isEmpty())
                    s.setValue("application_" + app[0] + keys[i], app[i + 1]);
        s.setValue("settings/url", "s");
    }
    static void click(QWidget *w, QPoint at = QPoint(5, 5)) { QTest::mouseClick(w, Qt::LeftButton, {}, at); }
    // Clicks a row's state cell; returns the combo box whose list opened.
    static QComboBox *clickState(QDialog &d, int row)
    {
        auto *v = d.findChild<QTreeView *>("treeView");
        const QModelIndex index = v->model()->index(row, 2);
        v->scrollTo(index);
        click(v->viewport(), v->visualRect(index).center());
        auto *combo = qobject_cast<QComboBox *>(v->indexWidget(index));
        return combo && combo->view()->isVisible() ? combo : nullptr;
    }
    // The offscreen platform leaves a closed popup the active window; a desktop
    // hands activation back to the dialog, which then focuses the editor again.
    static bool backToDialog(QDialog &d)
    {
        d.activateWindow();
        return QTest::qWaitFor([&d] { return QApplication::activeWindow() == &d; });
    }
    static bool pick(QDialog &d, QComboBox *combo, int entry)
    {
        QAbstractItemView *list = combo->view();
        click(list->viewport(), list->visualRect(list->model()->index(entry, 0)).center());
        return backToDialog(d);
    }
    static QPushButton *button(QDialog &d, QDialogButtonBox::StandardButton which)
    {
        return d.findChild<QDialogButtonBox *>("buttonBox")->button(which);
    }
};

void TestSettingsDialog::editAndSave()
{
    TestHome home;
    writeApps();
    SettingsDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    const QString javaTitle = SettingsDialog::getAppTitle("c");
    QCOMPARE(read("application_2/title").toString(), javaTitle);

    // By title, equal titles by URL; no row without URL or outside the prefix.
    QAbstractItemModel *m = dialog.findChild<QTreeView *>("treeView")->model();
    QStringList rows;
    for (int row = 0; row < m->rowCount(); ++row)
        rows << m->index(row, 0).data().toString() + " " + m->index(row, 1).data().toString();
    QCOMPARE(rows, QStringList({"Alfa a1", "Alfa a2", javaTitle + " c", "Beta b"}));
    QCOMPARE(SettingsDialog::securityToLabel(m->index(3, 2).data().toString()), QString("Opýtať sa"));

    // "ask" is offered and kept when the list is left without a choice.
    QComboBox *combo = clickState(dialog, 3);
    QVERIFY(combo);
    QCOMPARE(combo->count(), 4);
    QCOMPARE(combo->itemText(3), QString("Opýtať sa"));
    QCOMPARE(combo->currentIndex(), 3);
    QTest::keyClick(combo->view(), Qt::Key_Escape);
    QVERIFY(backToDialog(dialog));

    QVERIFY((combo = clickState(dialog, 2)));
    QCOMPARE(combo->currentIndex(), -1);
    QVERIFY(pick(dialog, combo, 1));
    click(dialog.findChild<QCheckBox *>("txtDisableJava"));
    click(button(dialog, QDialogButtonBox::Ok));

    QCOMPARE(read("application_0/state"), QVariant("ask"));
    QCOMPARE(read("application_1/state"), QVariant("disabled"));
    QCOMPARE(read("application_2/state"), QVariant("enabled"));
    QCOMPARE(read("application_3/state"), QVariant(""));
    QVERIFY(!read("application_4/state").isValid());
    QCOMPARE(read("settings/disableWebStartApps"), QVariant("true"));
    QCOMPARE(read("settings/disableNativeApps"), QVariant("false"));
}

void TestSettingsDialog::cancelWritesNothing()
{
    TestHome home;
    writeApps();
    const QByteArray original = TestSupport::readAll(Utils::fileConfig());
    SettingsDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    const QByteArray opened = TestSupport::readAll(Utils::fileConfig());
    QVERIFY(opened != original);
    QComboBox *combo = clickState(dialog, 0);
    QVERIFY(combo);
    QVERIFY(pick(dialog, combo, 2));
    click(dialog.findChild<QCheckBox *>("txtDisableJava"));
    click(button(dialog, QDialogButtonBox::Cancel));
    QCOMPARE(dialog.result(), int(QDialog::Rejected));
    QCOMPARE(TestSupport::readAll(Utils::fileConfig()), opened);
}

// An address wider than the dialog: the State column stays whole in view at
// its content's width, the address is elided with the whole of it as a tool
// tip, and nothing needs scrolling sideways.
void TestSettingsDialog::longAddressKeepsStateInView()
{
    TestHome home;
    QVERIFY(Utils::createDirConfig());
    const QString longUrl = "https://apps.example.org/" + QString("very-long-path-segment/").repeated(20) + "app.jnlp";
    {
        QSettings s(Utils::fileConfig(), QSettings::IniFormat);
        s.setValue("application_0/url", longUrl);
        s.setValue("application_0/title", "Dlha");
        for (int i = 1; i < 8; ++i)
            s.setValue(QString("application_%1/url").arg(i), QString("https://short.example/%1.jnlp").arg(i));
    }
    SettingsDialog dialog;
    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    auto *view = dialog.findChild<QTreeView *>("treeView");
    QHeaderView *header = view->header();
    QCOMPARE(view->horizontalScrollBar()->maximum(), 0);
    QVERIFY2(header->sectionViewportPosition(2) + header->sectionSize(2) <= view->viewport()->width(),
             qPrintable(QString("%1 + %2 > %3")
                            .arg(header->sectionViewportPosition(2))
                            .arg(header->sectionSize(2))
                            .arg(view->viewport()->width())));
    QVERIFY(header->sectionViewportPosition(2) >= 0);
    QModelIndex state, url;
    for (int row = 0; row < view->model()->rowCount(); ++row)
        if (view->model()->index(row, 1).data().toString() == longUrl) {
            url = view->model()->index(row, 1);
            state = view->model()->index(row, 2);
        }
    QVERIFY(url.isValid());
    QVERIFY(header->sectionSize(2) >= view->itemDelegate()->sizeHint(QStyleOptionViewItem(), state).width());
    QCOMPARE(url.data(Qt::ToolTipRole).toString(), longUrl);
    QVERIFY(view->visualRect(url).width() < view->fontMetrics().horizontalAdvance(longUrl));
    QCOMPARE(view->textElideMode(), Qt::ElideMiddle);
    // Title and address share what the state leaves.
    QCOMPARE(header->sectionSize(0) + header->sectionSize(1) + header->sectionSize(2) + header->sectionSize(3),
             header->length());
    QVERIFY(qAbs(header->sectionSize(0) - header->sectionSize(1)) <= 1);

    // More than a handful of rows fit.
    QVERIFY2(view->viewport()->height() >= 8 * view->visualRect(url).height(),
             qPrintable(QString::number(view->viewport()->height())));
    QVERIFY(dialog.grab().save(TestSupport::artifactsDir() + "/settings-long-address.png"));

    // Its state changes with one click, no scrolling first.
    QComboBox *combo = nullptr;
    view->scrollTo(state);
    click(view->viewport(), view->visualRect(state).center());
    combo = qobject_cast<QComboBox *>(view->indexWidget(state));
    QVERIFY(combo && combo->view()->isVisible());
    QCOMPARE(view->horizontalScrollBar()->value(), 0);
    QVERIFY(pick(dialog, combo, 1));
    click(button(dialog, QDialogButtonBox::Ok));
    QCOMPARE(read("application_0/state"), QVariant("enabled"));
}

// Each address shows the site whose page asked for it last; a launch from
// no page (an origin-less client) keeps the one before.
void TestSettingsDialog::originOfLastLaunch()
{
    TestHome home;
    SettingsDialog::checkApp("https://apps.example/a.jnlp", "https://bank.example");
    SettingsDialog::checkApp("https://apps.example/a.jnlp", "https://shop.example:8443");
    SettingsDialog::checkApp("https://apps.example/a.jnlp");
    SettingsDialog::checkApp("https://apps.example/b.jnlp");
    SettingsDialog dialog;
    auto *model = dialog.findChild<QTreeView *>("treeView")->model();
    QCOMPARE(model->rowCount(), 2);
    QCOMPARE(model->headerData(3, Qt::Horizontal).toString(), QString("Stránka"));
    QMap<QString, QString> shown;
    for (int row = 0; row < model->rowCount(); ++row)
        shown.insert(model->index(row, 1).data().toString(), model->index(row, 3).data().toString());
    QCOMPARE(shown,
             (QMap<QString, QString>{{"https://apps.example/a.jnlp", "https://shop.example:8443"},
                                     {"https://apps.example/b.jnlp", ""}}));
}

QTEST_MAIN(TestSettingsDialog)
#include "tst_settingsdialog.moc"
