#ifndef TRAYICONWINDOW_H
#define TRAYICONWINDOW_H

#include <QMainWindow>

class QMenu;

namespace Ui {
class TrayIconWindow;
}

// Takes the tray icon's place on desktops without a system tray: a
// right-click on its text opens the same menu.
class TrayIconWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit TrayIconWindow(QWidget *parent = nullptr);
    ~TrayIconWindow() override;

    void setContextMenu(QMenu *menu);

public slots:
    void showMenu(const QPoint &pos);

private:
    Ui::TrayIconWindow *ui;
    QMenu *menu = nullptr;
};

#endif // TRAYICONWINDOW_H
