#include "logsdialog.h"
#include "ui_logsdialog.h"

#include "logger.h"

LogsDialog::LogsDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::LogsDialog)
{
    ui->setupUi(this);
    ui->plainTextEdit->setPlainText(Logger::getMessages());
}

LogsDialog::~LogsDialog()
{
    delete ui;
}
