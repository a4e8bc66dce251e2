#include "backup/backupmanifest.h"
#include "fixtures/backup_builder.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "ui/itemmodelloadbk.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/passcodedlg.h"

#include <QCoreApplication>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSignalSpy>
#include <QTranslator>
#include <QTreeView>
#include <QtTest/QTest>

#include <gtest/gtest.h>

#include <memory>

namespace {

using fixtures::BackupBuilder;
using fixtures::ScriptedInteraction;

const QString kHome = QStringLiteral("HomeDomain");

QStringList repeated(int times, const QString& text)
{
    QStringList list;
    for (int i = 0; i < times; ++i)
        list << text;
    return list;
}

// The English catalogue, so the tests read what the user reads.
class EnglishTexts {
public:
    EnglishTexts()
    {
        EXPECT_TRUE(m_translator.load(QStringLiteral(":/en.qm")));
        QCoreApplication::installTranslator(&m_translator);
    }
    ~EnglishTexts() { QCoreApplication::removeTranslator(&m_translator); }

private:
    QTranslator m_translator;
};

fixtures::BackupDevice deviceNamed(const QString& name, const QDateTime& date)
{
    fixtures::BackupDevice device;
    device.deviceName = name;
    device.uniqueDeviceId = name.toLower() + QStringLiteral("-udid");
    device.date = date;
    return device;
}

QDateTime utc(int year, int month, int day)
{
    return QDateTime(QDate(year, month, day), QTime(12, 0), Qt::UTC);
}

class BackupChooserTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        m_root = iTunesBackupRoot().absolutePath();
        writeBackup(QStringLiteral("older-udid"), deviceNamed(QStringLiteral("Older"), utc(2013, 5, 14)));
        writeBackup(QStringLiteral("newer-udid"), deviceNamed(QStringLiteral("Newer"), utc(2014, 1, 2)));
        // Only "Manifest.plist": not a backup the root lists.
        writeBackup(QStringLiteral("plist-only"), deviceNamed(QStringLiteral("Loose"), utc(2015, 1, 1)));
        QFile::remove(folder(QStringLiteral("plist-only")) + QStringLiteral("/Manifest.mbdb"));
        // A "Manifest.plist" that cannot be read.
        writeBackup(QStringLiteral("broken"), deviceNamed(QStringLiteral("Broken"), utc(2016, 1, 1)));
        const QString plist = folder(QStringLiteral("broken")) + QStringLiteral("/Manifest.plist");
        QFile::remove(plist);
        QDir().mkpath(plist);
    }

    QString folder(const QString& name) const { return m_root + QLatin1Char('/') + name; }

    void writeBackup(const QString& name, const fixtures::BackupDevice& device)
    {
        BackupBuilder builder;
        builder.setDevice(device);
        builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db");
        builder.write(folder(name));
    }

    static QStringList column(const QAbstractItemModel& model, int column)
    {
        QStringList values;
        for (int row = 0; row < model.rowCount(); ++row)
            values << model.index(row, column).data().toString();
        return values;
    }

    EnglishTexts m_english;
    ScriptedInteraction m_script;
    QString m_root;
};

TEST_F(BackupChooserTest, ListsTheRootsBackupsNewestFirstAndReportsABrokenOne)
{
    LoadItunesBackupDlg dialog;
    const ItemModelLoadBk& model = *dialog.model();

    EXPECT_EQ(column(model, 0), (QStringList{QStringLiteral("Newer"), QStringLiteral("Older")}));
    EXPECT_EQ(column(model, 2), (QStringList{folder(QStringLiteral("newer-udid")), folder(QStringLiteral("older-udid"))}));
    EXPECT_EQ(model.index(0, 1).data().toString(), QLocale::system().toString(utc(2014, 1, 2), QLocale::ShortFormat));
    EXPECT_EQ(model.index(1, 0).data(Qt::ToolTipRole).toString(), QStringLiteral("Older"));
    EXPECT_EQ(model.headerData(1, Qt::Horizontal).toString(), QStringLiteral("Backup Date"));
    EXPECT_FALSE(dialog.findChild<QTreeView*>(QStringLiteral("listBackups"))->currentIndex().isValid());

    ASSERT_EQ(m_script.boxes().size(), 1u);
    EXPECT_EQ(m_script.boxes().front().icon, QMessageBox::Critical);
    EXPECT_TRUE(m_script.boxes().front().text.contains(QStringLiteral("load %1 error.").arg(folder(QStringLiteral("broken")))));
}

TEST_F(BackupChooserTest, AddingAFolderListsAndSelectsItUnlessItIsListed)
{
    LoadItunesBackupDlg dialog;
    m_script.clear();
    auto* list = dialog.findChild<QTreeView*>(QStringLiteral("listBackups"));

    // The same folder, also reached through "..", is refused.
    EXPECT_FALSE(dialog.addBackupFolder(folder(QStringLiteral("older-udid"))));
    EXPECT_FALSE(dialog.addBackupFolder(folder(QStringLiteral("plist-only/../older-udid"))));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Warning),
              repeated(2, QStringLiteral("This iTunes Backup has been listed on the left.")));
    EXPECT_EQ(dialog.model()->rowCount(), 2);

    // The link asks for a folder from home; a folder without Manifest.mbdb is fine here.
    m_script.answerPath(folder(QStringLiteral("plist-only")));
    dialog.btnAddOtherClicked(QStringLiteral("#"));
    ASSERT_EQ(m_script.choosers().size(), 1u);
    EXPECT_EQ(m_script.choosers().front().dir, QDir::home().absolutePath());
    EXPECT_EQ(dialog.model()->rowCount(), 3);
    EXPECT_EQ(list->currentIndex().row(), 0);
    EXPECT_EQ(ItemModelLoadBk::manifestAt(list->currentIndex())->displayName, QStringLiteral("Loose-plist-only"));

    // A folder without a readable Manifest.plist gives the error box and adds nothing.
    EXPECT_FALSE(dialog.addBackupFolder(homePath(QStringLiteral("empty"))));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Critical).size(), 1);
    EXPECT_EQ(dialog.model()->rowCount(), 3);

    // A backup of iOS 10 or later (Manifest.db instead of Manifest.mbdb) is named as such.
    writeBackup(QStringLiteral("ios10"), deviceNamed(QStringLiteral("New"), utc(2017, 1, 1)));
    QFile::rename(folder(QStringLiteral("ios10")) + QStringLiteral("/Manifest.mbdb"),
                  folder(QStringLiteral("ios10")) + QStringLiteral("/Manifest.db"));
    m_script.clear();
    EXPECT_FALSE(dialog.addBackupFolder(folder(QStringLiteral("ios10"))));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Warning),
              QStringList{QStringLiteral("This backup was made by iOS 10 or later (it has Manifest.db, not "
                                         "Manifest.mbdb); Tallowmere reads backups with Manifest.mbdb.")});
    EXPECT_EQ(dialog.model()->rowCount(), 3);
    BackupManifest manifest{QDir(folder(QStringLiteral("ios10")))};
    EXPECT_THROW(manifest.loadMbdb(), std::runtime_error);
}

TEST_F(BackupChooserTest, LoadNeedsASelectedBackup)
{
    LoadItunesBackupDlg dialog;
    m_script.clear();
    m_script.answerDialog([](QDialog& d) {
        d.findChild<QPushButton*>(QStringLiteral("btnLoad"))->click();
        return d.result();
    });
    EXPECT_EQ(execDialog(dialog), int(QDialog::Rejected));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Warning),
              QStringList{QStringLiteral("Need to select an iTunes Backup to continue.")});
    EXPECT_TRUE(dialog.selectedBackup().isNull());

    auto* list = dialog.findChild<QTreeView*>(QStringLiteral("listBackups"));
    m_script.answerDialog([list](QDialog& d) {
        // A double click makes its row current, then loads it.
        const QModelIndex older = list->model()->index(1, 2);
        list->setCurrentIndex(older);
        QMetaObject::invokeMethod(list, "doubleClicked", Q_ARG(QModelIndex, older));
        return d.result();
    });
    EXPECT_EQ(execDialog(dialog), int(QDialog::Accepted));
    ASSERT_FALSE(dialog.selectedBackup().isNull());
    EXPECT_EQ(dialog.selectedBackup()->displayName, QStringLiteral("Older"));
}

TEST(ItemModelLoadBkTest, InsertsOneRowByDateAndStripesTheRows)
{
    ItemModelLoadBk model;
    QSignalSpy inserted(&model, &QAbstractItemModel::rowsInserted);
    const auto add = [&model](const QString& name, const QDateTime& date) {
        auto manifest = QSharedPointer<BackupManifest>::create(QDir(QStringLiteral("/nowhere/") + name));
        manifest->displayName = name;
        manifest->deviceInfo.date = date;
        model.addBackup(manifest);
    };
    add(QStringLiteral("undated"), QDateTime());
    add(QStringLiteral("first"), utc(2013, 1, 1));
    add(QStringLiteral("same"), utc(2013, 1, 1));
    add(QStringLiteral("newest"), utc(2014, 1, 1));

    QStringList names;
    for (const QSharedPointer<BackupManifest>& manifest : model.backups())
        names << manifest->displayName;
    EXPECT_EQ(names, (QStringList{QStringLiteral("newest"), QStringLiteral("first"), QStringLiteral("same"),
                                  QStringLiteral("undated")}));
    ASSERT_EQ(inserted.size(), 4);
    EXPECT_EQ(inserted.last().at(1).toInt(), 0);
    EXPECT_EQ(inserted.last().at(2).toInt(), 0);
    EXPECT_EQ(model.index(0, 1).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(250, 250, 250));
    EXPECT_EQ(model.index(1, 1).data(Qt::BackgroundRole).value<QBrush>().color(), QColor(255, 255, 255));
    EXPECT_EQ(model.index(0, 0).data(Qt::SizeHintRole).toSize(), QSize(0, 25));
    EXPECT_FALSE(model.index(0, 1).data(Qt::DecorationRole).isValid());
    EXPECT_EQ(model.index(0, 0).data(Qt::DecorationRole).value<QPixmap>().width(), 18);
}

class PasscodeDlgTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        BackupBuilder builder;
        builder.setEncryption();
        builder.addFile(kHome, QStringLiteral("Library/SMS/sms.db"), "db");
        builder.write(m_backup.path());
        m_manifest = std::make_unique<BackupManifest>(QDir(m_backup.path()));
        m_manifest->loadManifestPlist();
    }

    // Types each password in turn and presses OK after each; returns the dialog's result.
    int enter(PasscodeDlg& dialog, const QStringList& passwords, QStringList* fieldAfter = nullptr)
    {
        m_script.answerDialog([&](QDialog& d) {
            auto* field = d.findChild<QLineEdit*>(QStringLiteral("txtPasscode"));
            for (const QString& password : passwords) {
                field->setText(password);
                d.findChild<QPushButton*>(QStringLiteral("btnOK"))->click();
                if (fieldAfter)
                    *fieldAfter << field->text();
            }
            return d.result();
        });
        return execDialog(dialog);
    }

    EnglishTexts m_english;
    ScriptedInteraction m_script;
    QTemporaryDir m_backup;
    std::unique_ptr<BackupManifest> m_manifest;
};

TEST_F(PasscodeDlgTest, AnEmptyPasswordWarnsWithoutTryingTheKeybag)
{
    PasscodeDlg dialog(m_manifest.get());
    EXPECT_EQ(enter(dialog, {QString()}), int(QDialog::Rejected));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Warning), QStringList{QStringLiteral("Password is required.")});
    EXPECT_TRUE(m_manifest->keyBag.classes.isEmpty());
}

TEST_F(PasscodeDlgTest, AWrongPasswordWarnsAndClearsTheFieldUntilTheRightOne)
{
    PasscodeDlg dialog(m_manifest.get());
    QStringList fieldAfter;
    EXPECT_EQ(enter(dialog, {QStringLiteral("wrong"), QStringLiteral(" "), QStringLiteral("secret")}, &fieldAfter),
              int(QDialog::Accepted));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Warning), repeated(2, QStringLiteral("Invalid password.")));
    EXPECT_EQ(fieldAfter.mid(0, 2), repeated(2, QString()));
    EXPECT_TRUE(m_manifest->keyBag.hasClassKeys());
}

TEST_F(PasscodeDlgTest, CancelLeavesTheBackupLocked)
{
    PasscodeDlg dialog(m_manifest.get());
    m_script.answerDialog([](QDialog& d) {
        d.findChild<QLineEdit*>(QStringLiteral("txtPasscode"))->setText(QStringLiteral("secret"));
        d.findChild<QPushButton*>(QStringLiteral("btnCancel"))->click();
        return d.result();
    });
    EXPECT_EQ(execDialog(dialog), int(QDialog::Rejected));
    EXPECT_FALSE(m_manifest->keyBag.hasClassKeys());
}

}  // namespace
