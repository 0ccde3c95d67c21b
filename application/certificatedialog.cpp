#include "certificatedialog.h"
#include "ui_certificatedialog.h"

#include "utils.h"

#include <QDir>
#include <QPushButton>

CertificateDialog::CertificateDialog(QWidget *parent)
    : QDialog(parent)
    , ui(new Ui::CertificateDialog)
{
    ui->setupUi(this);
    ui->lblPath->setText(QDir::toNativeSeparators(Utils::fileCertificateCa()));
    ui->buttonBox->button(QDialogButtonBox::Cancel)->setText(tr("Zrušiť"));
    adjustSize();
}

CertificateDialog::~CertificateDialog()
{
    delete ui;
}
