#include "trayiconwindow.h"
#include "ui_trayiconwindow.h"

#include <QMenu>

TrayIconWindow::TrayIconWindow(QWidget *parent)
    : QMainWindow(parent)
    , ui(new Ui::TrayIconWindow)
{
    ui->setupUi(this);
    connect(ui->label, &QWidget::customContextMenuRequested, this, &TrayIconWindow::showMenu);
}

TrayIconWindow::~TrayIconWindow()
{
    delete ui;
}

void TrayIconWindow::setContextMenu(QMenu *contextMenu)
{
    menu = contextMenu;
}

void TrayIconWindow::showMenu(const QPoint &pos)
{
    if (menu)
        menu->exec(ui->label->mapToGlobal(pos));
}
