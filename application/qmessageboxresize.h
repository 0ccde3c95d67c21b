#ifndef QMESSAGEBOXRESIZE_H
#define QMESSAGEBOXRESIZE_H

#include <QMessageBox>

class QSpacerItem;

// A message box that the user can drag larger with its size grip.
class QMessageBoxResize : public QMessageBox
{
    Q_OBJECT

public:
    QMessageBoxResize();
    virtual ~QMessageBoxResize();

protected:
    bool event(QEvent *e) override;

private:
    void addWidthSpacer();
};

#endif // QMESSAGEBOXRESIZE_H
