#pragma once
// The modal chooser of an iTunes backup: lists every backup of the Apple backup folder, newest
// first, lets the user add a backup folder from elsewhere, and on "Load" hands the chosen backup
// back with its "Manifest.plist" read. Run it through execDialog(); after Accepted the caller
// copies selectedBackup() before the dialog goes.
#include "ui/winmovable.h"

#include <QDialog>
#include <QSharedPointer>

class BackupManifest;
class ItemModelLoadBk;
class QLabel;
class QPushButton;
class QTreeView;

class LoadItunesBackupDlg : public QDialog {
    Q_OBJECT
public:
    explicit LoadItunesBackupDlg(QWidget* parent = nullptr);
    ~LoadItunesBackupDlg() override;

    // Null until "Load" succeeded.
    QSharedPointer<BackupManifest> selectedBackup() const { return m_selectedBackup; }
    ItemModelLoadBk* model() const { return m_model; }

    // Lists the backup in folder and selects it, unless a backup of the same folder is listed
    // (warning) or its "Manifest.plist" cannot be read (error box). True when it was added.
    bool addBackupFolder(const QString& folder);

public slots:
    // The "add other" link: asks for a folder, then addBackupFolder. The link text is ignored.
    void btnAddOtherClicked(const QString& link);
    // "Load" and a double click: takes the current row, or warns when there is none.
    void btnLoadClicked();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void buildForm();
    void listBackupRoot();
    // Reads the folder's "Manifest.plist" and adds a row; shows the error box and returns null
    // when it cannot be read.
    QSharedPointer<BackupManifest> loadBackup(const QString& folder);

    WinMovable m_mover;
    ItemModelLoadBk* m_model;  // owned as a child of the dialog, like the widgets below
    QLabel* lbTitle = nullptr;
    QTreeView* listBackups = nullptr;
    QLabel* lbAddOther = nullptr;
    QPushButton* btnLoad = nullptr;
    QPushButton* btnCancel = nullptr;
    QSharedPointer<BackupManifest> m_selectedBackup;
};
