#ifndef MODALWIDGETS_H
#define MODALWIDGETS_H

#include <functional>

class QWidget;

namespace TestSupport {

// Acts on the widget that find() returns once it is visible. A timer polls,
// so the act runs inside the modal loop that shows the widget.
void whenVisible(const std::function<QWidget *()> &find, const std::function<void(QWidget *)> &act);

} // namespace TestSupport

#endif // MODALWIDGETS_H
