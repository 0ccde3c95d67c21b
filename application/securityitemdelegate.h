#ifndef SECURITYITEMDELEGATE_H
#define SECURITYITEMDELEGATE_H

#include <QString>
#include <QStyledItemDelegate>

// Shows and edits the state column of the settings dialog as a combo box;
// the other columns are left to the base class.
class SecurityItemDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit SecurityItemDelegate(QObject *parent = nullptr);

    void paint(QPainter *painter, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

private:
    QString longestText;
};

#endif // SECURITYITEMDELEGATE_H
