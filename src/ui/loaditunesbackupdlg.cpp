#include "ui/loaditunesbackupdlg.h"

#include "backup/backupmanifest.h"
#include "ui/interaction.h"
#include "ui/itemmodelloadbk.h"
#include "ui/messagebox.h"

#include <QDebug>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QResizeEvent>
#include <QSpacerItem>
#include <QTreeView>
#include <QVBoxLayout>

#include <exception>

namespace {

bool isBackupFolder(const QDir& folder)
{
    return QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.mbdb"))) &&
           QFileInfo::exists(folder.absoluteFilePath(QStringLiteral("Manifest.plist")));
}

}  // namespace

LoadItunesBackupDlg::LoadItunesBackupDlg(QWidget* parent)
    : QDialog(parent), m_mover(this), m_model(new ItemModelLoadBk(this))
{
    buildForm();
    connect(lbAddOther, &QLabel::linkActivated, this, &LoadItunesBackupDlg::btnAddOtherClicked);
    connect(btnLoad, &QPushButton::pressed, this, &LoadItunesBackupDlg::btnLoadClicked);
    connect(listBackups, &QTreeView::doubleClicked, this, &LoadItunesBackupDlg::btnLoadClicked);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    listBackups->setModel(m_model);
    listBackupRoot();
    listBackups->setCurrentIndex(QModelIndex());
}

LoadItunesBackupDlg::~LoadItunesBackupDlg() = default;

void LoadItunesBackupDlg::buildForm()
{
    setObjectName(QStringLiteral("LoadItunesBackupDlg"));
    resize(600, 400);
    setWindowTitle(QStringLiteral("Dialog"));

    auto* verticalLayout = new QVBoxLayout(this);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(10);
    const QMargins margins = verticalLayout->contentsMargins();
    verticalLayout->setContentsMargins(margins.left(), 15, margins.right(), 15);

    lbTitle = new QLabel(tr("IDS_SELECT_AN_ITUNES_BACKUP_TO_LOAD"), this);
    lbTitle->setObjectName(QStringLiteral("lbTitle"));
    lbTitle->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    verticalLayout->addWidget(lbTitle);

    listBackups = new QTreeView(this);
    listBackups->setObjectName(QStringLiteral("listBackups"));
    listBackups->setIndentation(0);
    verticalLayout->addWidget(listBackups);

    lbAddOther = new QLabel(tr("IDS_NO_BACKUP_LISTED_THERE_CLICK_<a href=\"#\">Here</a>_ADD"), this);
    lbAddOther->setObjectName(QStringLiteral("lbAddOther"));
    lbAddOther->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    lbAddOther->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    lbAddOther->setTextFormat(Qt::RichText);
    verticalLayout->addWidget(lbAddOther);

    auto* widget = new QWidget(this);
    widget->setObjectName(QStringLiteral("widget"));
    widget->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    auto* horizontalLayout = new QHBoxLayout(widget);
    horizontalLayout->setObjectName(QStringLiteral("horizontalLayout"));
    horizontalLayout->setContentsMargins(0, 0, 0, 0);
    horizontalLayout->addItem(new QSpacerItem(250, 20, QSizePolicy::Expanding, QSizePolicy::Minimum));
    btnLoad = new QPushButton(tr("Load"), widget);
    btnLoad->setObjectName(QStringLiteral("btnLoad"));
    btnLoad->setStyleSheet(QStringLiteral("margin-right:15px;"));
    horizontalLayout->addWidget(btnLoad);
    btnCancel = new QPushButton(tr("Cancel"), widget);
    btnCancel->setObjectName(QStringLiteral("btnCancel"));
    horizontalLayout->addWidget(btnCancel);
    verticalLayout->addWidget(widget);

    connect(btnCancel, &QPushButton::pressed, this, &QDialog::reject);
}

void LoadItunesBackupDlg::listBackupRoot()
{
    const QFileInfoList folders =
        iTunesBackupRoot().entryInfoList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Time | QDir::Reversed);
    for (const QFileInfo& folder : folders) {
        if (isBackupFolder(QDir(folder.absoluteFilePath())))
            loadBackup(folder.absoluteFilePath());
    }
}

QSharedPointer<BackupManifest> LoadItunesBackupDlg::loadBackup(const QString& folder)
{
    try {
        auto manifest = QSharedPointer<BackupManifest>::create(QDir(folder));
        manifest->loadManifestPlist();
        m_model->addBackup(manifest);
        return manifest;
    } catch (const std::exception& error) {
        qWarning("%s", error.what());
        showError(QStringLiteral("load %1 error. %2").arg(htmlEscape(folder), htmlEscape(QString::fromUtf8(error.what()))));
    }
    return {};
}

bool LoadItunesBackupDlg::addBackupFolder(const QString& folder)
{
    const QString cacheId = BackupManifest(QDir(folder)).cacheId();
    for (const QSharedPointer<BackupManifest>& listed : m_model->backups()) {
        if (listed->cacheId() == cacheId) {
            showWarning(tr("IDS_LOAD_BK_EXISTS"));
            return false;
        }
    }
    if (BackupManifest::isNewerFormat(QDir(folder))) {
        showWarning(tr("IDS_BK_NEWER_FORMAT"));
        return false;
    }
    const QSharedPointer<BackupManifest> added = loadBackup(folder);
    if (!added)
        return false;
    const QList<QSharedPointer<BackupManifest>> listed = m_model->backups();
    listBackups->setCurrentIndex(m_model->index(listed.indexOf(added), 0));
    return true;
}

void LoadItunesBackupDlg::btnAddOtherClicked(const QString&)
{
    const QString folder =
        chooseExistingDirectory(nullptr, QString(), QDir::home().absolutePath(), QFileDialog::ShowDirsOnly);
    if (!folder.isEmpty())
        addBackupFolder(folder);
}

void LoadItunesBackupDlg::btnLoadClicked()
{
    const QSharedPointer<BackupManifest> chosen = ItemModelLoadBk::manifestAt(listBackups->currentIndex());
    if (!chosen) {
        showWarning(tr("IDS_PLEASE_SELECT_ONE_ITUNES_BACKUP"));
        return;
    }
    m_selectedBackup = chosen;
    accept();
}

void LoadItunesBackupDlg::resizeEvent(QResizeEvent* event)
{
    QDialog::resizeEvent(event);
    const int width = event->size().width() - 80;
    QHeaderView* header = listBackups->header();
    header->resizeSection(0, int(width * 0.4));
    header->resizeSection(1, int(width * 0.25));
    header->resizeSection(2, int(width * 0.35));
}
