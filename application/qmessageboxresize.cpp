#include "qmessageboxresize.h"

#include <QEvent>
#include <QGridLayout>
#include <QSpacerItem>
#include <QTextEdit>

static const int MIN_WIDTH = 800;

QMessageBoxResize::QMessageBoxResize()
    : QMessageBox()
{
    setMouseTracking(true);
    setSizeGripEnabled(true);
    setWindowModality(Qt::ApplicationModal);
    addWidthSpacer();
}

QMessageBoxResize::~QMessageBoxResize() = default;

QTextEdit *QMessageBoxResize::details(const QMessageBox &box)
{
    const QString text = box.detailedText();
    if (text.isEmpty())
        return nullptr;
    const QList<QTextEdit *> edits = box.findChildren<QTextEdit *>();
    for (QTextEdit *edit : edits) {
        if (edit->isReadOnly() && edit->toPlainText() == text)
            return edit;
    }
    return nullptr;
}

// QMessageBox rebuilds its grid whenever the icon or the informative text
// changes, dropping the spacer; put it back before the box is shown.
void QMessageBoxResize::addWidthSpacer()
{
    QGridLayout *grid = qobject_cast<QGridLayout *>(layout());
    if (!grid)
        return;
    for (int i = 0; i < grid->count(); ++i) {
        QSpacerItem *spacer = grid->itemAt(i)->spacerItem();
        if (spacer && spacer->sizeHint().width() == MIN_WIDTH)
            return;
    }
    grid->addItem(new QSpacerItem(MIN_WIDTH, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                  grid->columnCount());
}

bool QMessageBoxResize::event(QEvent *e)
{
    if (e->type() == QEvent::Show)
        addWidthSpacer();
    const bool result = QMessageBox::event(e);
    if (e->type() == QEvent::MouseButtonPress || e->type() == QEvent::MouseMove) {
        setMaximumSize(QWIDGETSIZE_MAX, QWIDGETSIZE_MAX);
        // Found once: the log it holds may be long.
        if (!detailsEdit)
            detailsEdit = details(*this);
        if (detailsEdit)
            detailsEdit->setMaximumHeight(QWIDGETSIZE_MAX);
    }
    return result;
}
