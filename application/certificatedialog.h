#ifndef CERTIFICATEDIALOG_H
#define CERTIFICATEDIALOG_H

#include <QDialog>

namespace Ui {
class CertificateDialog;
}

// The notice shown before the agent's CA goes into the browsers' stores; it
// also names the CA file for a manual import.
class CertificateDialog : public QDialog
{
    Q_OBJECT

public:
    explicit CertificateDialog(QWidget *parent = nullptr);
    ~CertificateDialog() override;

private:
    Ui::CertificateDialog *ui;
};

#endif // CERTIFICATEDIALOG_H
