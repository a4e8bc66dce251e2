#include "ui/passcodedlg.h"

#include "backup/backupmanifest.h"
#include "ui/messagebox.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpacerItem>
#include <QVBoxLayout>

PasscodeDlg::PasscodeDlg(BackupManifest* manifest, QWidget* parent)
    : QDialog(parent), m_mover(this), m_manifest(manifest)
{
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    connect(btnOK, &QPushButton::pressed, this, &PasscodeDlg::btnOKPressed);
}

PasscodeDlg::~PasscodeDlg() = default;

void PasscodeDlg::buildForm()
{
    setObjectName(QStringLiteral("PasscodeDlg"));
    resize(338, 147);
    setWindowTitle(QStringLiteral("Dialog"));

    auto* verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setContentsMargins(12, 15, 12, verticalLayout->contentsMargins().bottom());

    lbTitle2 = new QLabel(tr("IDS_PLEASE_ENTER_PASSWORD_TO_LOAD_BACKUP"), this);
    lbTitle2->setObjectName(QStringLiteral("lbTitle2"));
    verticalLayout->addWidget(lbTitle2);

    txtPasscode = new QLineEdit(this);
    txtPasscode->setObjectName(QStringLiteral("txtPasscode"));
    txtPasscode->setEchoMode(QLineEdit::Password);
    txtPasscode->setPlaceholderText(tr("IDS_ENTER_PASSWORD"));
    verticalLayout->addWidget(txtPasscode);

    auto* widget = new QWidget(this);
    widget->setObjectName(QStringLiteral("widget"));
    auto* horizontalLayout = new QHBoxLayout(widget);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    horizontalLayout->addItem(new QSpacerItem(149, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    btnOK = new QPushButton(tr("OK"), widget);
    btnOK->setObjectName(QStringLiteral("btnOK"));
    horizontalLayout->addWidget(btnOK);
    btnCancel = new QPushButton(tr("Cancel"), widget);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    horizontalLayout->addWidget(btnCancel);
    verticalLayout->addWidget(widget);

    connect(btnCancel, &QPushButton::pressed, this, &QDialog::reject);
}

void PasscodeDlg::btnOKPressed()
{
    const QString password = txtPasscode->text();
    if (password.isEmpty()) {  // blanks are a password like any other
        showWarning(tr("IDS_PWD_IS_NULL"));
        return;
    }
    if (m_manifest->unlock(password)) {
        accept();
        return;
    }
    showWarning(tr("IDS_INVALID_PASSWORD"));
    txtPasscode->clear();
}
