#include "modalwidgets.h"

#include <QCoreApplication>
#include <QTimer>
#include <QWidget>

namespace TestSupport {

void whenVisible(const std::function<QWidget *()> &find, const std::function<void(QWidget *)> &act)
{
    QTimer *poll = new QTimer(qApp);
    QObject::connect(poll, &QTimer::timeout, [poll, find, act] {
        QWidget *widget = find();
        if (!widget || !widget->isVisible())
            return;
        poll->stop();
        poll->deleteLater();
        act(widget);
    });
    poll->start(10);
}

} // namespace TestSupport
