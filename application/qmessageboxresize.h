#ifndef QMESSAGEBOXRESIZE_H
#define QMESSAGEBOXRESIZE_H

#include <QMessageBox>
#include <QPointer>

class QSpacerItem;
class QTextEdit;

// A message box that the user can drag larger with its size grip.
class QMessageBoxResize : public QMessageBox
{
    Q_OBJECT

public:
    QMessageBoxResize();
    virtual ~QMessageBoxResize();

    // Where a box shows its detailed text: the read-only QTextEdit holding
    // it. Null while it has none.
    static QTextEdit *details(const QMessageBox &box);

protected:
    bool event(QEvent *e) override;

private:
    void addWidthSpacer();

    QPointer<QTextEdit> detailsEdit;
};

#endif // QMESSAGEBOXRESIZE_H
