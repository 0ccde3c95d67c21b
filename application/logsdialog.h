#ifndef LOGSDIALOG_H
#define LOGSDIALOG_H

#include <QDialog>

namespace Ui {
class LogsDialog;
}

// The process's log as it stood when the dialog was opened.
class LogsDialog : public QDialog
{
    Q_OBJECT

public:
    explicit LogsDialog(QWidget *parent = nullptr);
    ~LogsDialog() override;

private:
    Ui::LogsDialog *ui;
};

#endif // LOGSDIALOG_H
