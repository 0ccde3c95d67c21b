#include "securityitemdelegate.h"

#include "settingsdialog.h"

#include <QApplication>
#include <QComboBox>
#include <QPainter>
#include <QStyle>
#include <QStyleOptionComboBox>

namespace {
const int STATE_COLUMN = 2;
}

SecurityItemDelegate::SecurityItemDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{
    // Labels of the current language; the first wins among equally long ones.
    for (const QString &state :
         {SettingsDialog::DEFAULT, SettingsDialog::ENABLED, SettingsDialog::DISABLED, SettingsDialog::ASK}) {
        const QString label = SettingsDialog::securityToLabel(state);
        if (label.size() > longestText.size())
            longestText = label;
    }
}

void SecurityItemDelegate::paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN) {
        QStyledItemDelegate::paint(painter, option, index);
        return;
    }
    // A closed combo box showing the state's label.
    QStyleOptionComboBox box;
    box.rect = QRect(0, 0, option.rect.width(), option.rect.height());
    box.currentText = SettingsDialog::securityToLabel(index.data(Qt::EditRole).toString());
    box.frame = true;
    // Greyed where the administrator decides.
    box.state = index.flags() & Qt::ItemIsEnabled ? QStyle::State_Enabled : QStyle::State_None;
    painter->translate(option.rect.topLeft());
    QApplication::style()->drawComplexControl(QStyle::CC_ComboBox, &box, painter);
    QApplication::style()->drawControl(QStyle::CE_ComboBoxLabel, &box, painter);
    painter->resetTransform();
}

QSize SecurityItemDelegate::sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN)
        return QStyledItemDelegate::sizeHint(option, index);
    QComboBox combo;
    combo.setCurrentText(longestText);
    QStyleOptionComboBox box;
    box.rect = option.rect;
    box.currentText = longestText;
    box.frame = true;
    box.state = QStyle::State_Enabled;
    const QRect arrow = QApplication::style()->subControlRect(QStyle::CC_ComboBox, &box, QStyle::SC_ComboBoxArrow);
    const QSize preferred = combo.sizeHint();
    return QSize(preferred.width() + arrow.width(), preferred.height());
}

QWidget *SecurityItemDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                            const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN)
        return QStyledItemDelegate::createEditor(parent, option, index);
    auto *combo = new QComboBox(parent);
    combo->addItem(SettingsDialog::securityToLabel(SettingsDialog::DEFAULT), SettingsDialog::DEFAULT);
    combo->addItem(SettingsDialog::securityToLabel(SettingsDialog::ENABLED), SettingsDialog::ENABLED);
    combo->addItem(SettingsDialog::securityToLabel(SettingsDialog::DISABLED), SettingsDialog::DISABLED);
    combo->addItem(SettingsDialog::securityToLabel(SettingsDialog::ASK), SettingsDialog::ASK);
    return combo;
}

void SecurityItemDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN) {
        QStyledItemDelegate::setEditorData(editor, index);
        return;
    }
    auto *combo = static_cast<QComboBox *>(editor);
    combo->setCurrentIndex(combo->findData(index.data(Qt::EditRole).toString()));
    // One click on a state cell shows the choices.
    combo->showPopup();
}

void SecurityItemDelegate::setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN) {
        QStyledItemDelegate::setModelData(editor, model, index);
        return;
    }
    // No entry selected gives the empty text, the default.
    const auto *combo = static_cast<QComboBox *>(editor);
    model->setData(index, combo->currentData().toString(), Qt::EditRole);
}

void SecurityItemDelegate::updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                                                const QModelIndex &index) const
{
    if (index.column() != STATE_COLUMN) {
        QStyledItemDelegate::updateEditorGeometry(editor, option, index);
        return;
    }
    editor->setGeometry(option.rect);
}
