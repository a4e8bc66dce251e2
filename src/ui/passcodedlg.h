#pragma once
// Asks for the password of an encrypted backup and unlocks the backup's keybag with it before it
// closes: Accepted means the backup's files can be decrypted. Tries are not limited.
#include "ui/winmovable.h"

#include <QDialog>

class BackupManifest;
class QLabel;
class QLineEdit;
class QPushButton;

class PasscodeDlg : public QDialog {
    Q_OBJECT
public:
    // manifest is not owned and must outlive the dialog.
    explicit PasscodeDlg(BackupManifest* manifest, QWidget* parent = nullptr);
    ~PasscodeDlg() override;

public slots:
    // An empty field warns; a wrong password warns and clears the field; the right one accepts.
    void btnOKPressed();

private:
    void buildForm();

    WinMovable m_mover;
    BackupManifest* m_manifest;
    QLabel* lbTitle2 = nullptr;
    QLineEdit* txtPasscode = nullptr;
    QPushButton* btnOK = nullptr;
    QPushButton* btnCancel = nullptr;
};
