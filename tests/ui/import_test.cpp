// The iTunes backup import and the copy of a source's messages into a local database, driven through
// the commands with the dialogs answered by the script.
#include "command_test_support.h"

#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "fixtures/sample_backups.h"
#include "flows/deviceflows.h"
#include "ui/loaditunesbackupdlg.h"
#include "ui/progressform.h"

#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QSet>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

namespace {

using namespace command_tests;

// What a reader brings back of a message database: message guids and conversation identifiers.
struct Content {
    QSet<QString> messages;
    QSet<QString> chats;
};

Content contentOf(const _MsgStore& store)
{
    Content content;
    for (const _MsgMessage* message : store.messageList())
        content.messages.insert(message->guid);
    for (const _MsgChat* chat : store.chatList())
        content.chats.insert(chat->chat_identifier);
    return content;
}

Content contentOfFolder(const QString& folder)
{
    IOS6MessageDb db{QDir(folder), QString(), false};
    _MsgStore store;
    db.messages(store, 0);
    return contentOf(store);
}

class ImportTest : public CommandTest {
protected:
    // Writes a sample backup and returns its folder; files receives the database it holds.
    QString writeBackup(const fixtures::SampleBackupOptions& options, const QString& name = QStringLiteral("b1"))
    {
        const fixtures::SampleBackupFiles files = fixtures::sampleBackupFiles(options);
        fixtures::BackupDevice device;
        device.deviceName = QStringLiteral("Anna's iPhone");
        fixtures::BackupBuilder builder;
        builder.setDevice(device);
        if (options.encrypted)
            builder.setEncryption();
        builder.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/Preferences/x.plist"), "<plist/>");
        for (const auto& file : files.files)
            builder.addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/") + file.first, file.second);
        const QString folder = homePath(QStringLiteral("backups/") + name);
        builder.write(folder);
        m_backupSmsDb = files.smsDb();
        return folder;
    }
    // The content of the message database inside the last backup written.
    Content backupContent()
    {
        const QString path = fixtures::ios6DbPathIn(m_work.path());
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        EXPECT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(m_backupSmsDb);
        file.close();
        return contentOfFolder(m_work.path());
    }

    void answerChooser(const QString& folder)
    {
        script.answerDialog([folder](QDialog& dialog) {
            auto& chooser = static_cast<LoadItunesBackupDlg&>(dialog);
            chooser.addBackupFolder(folder);
            chooser.btnLoadClicked();
            return chooser.result();
        });
    }
    void answerPassword(const QString& password)
    {
        script.answerDialog([password](QDialog& dialog) {
            dialog.findChild<QLineEdit*>(QStringLiteral("txtPasscode"))->setText(password);
            QMetaObject::invokeMethod(&dialog, "btnOKPressed");
            return dialog.result();
        });
    }
    // Keeps (or, with text, replaces) the proposed name, records it, and confirms.
    void answerDatabase(const QString& text = QString())
    {
        script.answerDialog([this, text](QDialog& dialog) {
            auto* combo = dialog.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"));
            proposedName = combo->currentText();
            if (!text.isNull())
                combo->setEditText(text);
            QMetaObject::invokeMethod(&dialog, "onBtnOkPress");
            return dialog.result();
        });
    }
    QStringList localDatabaseFolders() const
    {
        return localDatabasesDir().entryList(QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden);
    }
    _AbsDBItemNode* localNode(MainWindow& window, const QString& name) const
    {
        return static_cast<_AbsDBItemNode*>(childNamed(window.mainModel()->localDbRoot(), name));
    }

    QString proposedName;

private:
    QTemporaryDir m_work;
    QByteArray m_backupSmsDb;
};

TEST_F(ImportTest, AnEncryptedBackupBecomesASelectedLocalDatabaseHoldingItsMessages)
{
    fixtures::SampleBackupOptions options;
    options.encrypted = true;
    const QString backup = writeBackup(options);
    MainWindow window;
    answerChooser(backup);
    answerPassword(QStringLiteral("secret"));
    answerDatabase();
    const ProgressDialogs progress;

    invoke(window, "miImportItunes");
    QCoreApplication::processEvents();
    // The file list, the cache, the backup's messages, the copy, the local database read anew (no copy's status).
    EXPECT_EQ(progress.statuses.size(), 5);
    EXPECT_EQ(progress.statuses.value(4, "none").toStdString(), "");

    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty()) << qPrintable(script.boxTexts(QMessageBox::Critical).join("\n"));
    EXPECT_EQ(proposedName, QStringLiteral("Anna's iPhone_Backup"));
    _AbsDBItemNode* node = localNode(window, proposedName);
    ASSERT_NE(node, nullptr);
    EXPECT_EQ(currentNode(window), node);
    const Content expected = backupContent();
    ASSERT_FALSE(expected.messages.isEmpty());
    const Content shown = contentOf(node->store);
    EXPECT_EQ(shown.messages, expected.messages);
    EXPECT_EQ(shown.chats, expected.chats);
    EXPECT_EQ(contentOfFolder(localDbFolder(proposedName)).messages, expected.messages);
    EXPECT_EQ(node->children.size(), size_t(node->store.chatSessions().size()));
    EXPECT_EQ(window.smsModel()->rowCount(), expected.messages.size());
    EXPECT_TRUE(script.boxTexts(QMessageBox::Information).join("").contains(QStringLiteral("Successfully Backup")));
}

// A backup moved elsewhere and linked back imports; a stored file that is a link is left out and told.
TEST_F(ImportTest, ABackupReachedThroughALinkImportsAndTellsOfTheFileLeftOut)
{
    const QString backup = writeBackup({});
    const QString wal = QDir(backup).absoluteFilePath(mbdbFileId("HomeDomain", "Library/SMS/sms.db-wal"));
    ASSERT_TRUE(QFile::remove(wal) && QFile::link("/etc/passwd", wal));
    ASSERT_TRUE(QFile::link(backup, homePath("linked")));
    answerChooser(homePath("linked"));
    answerDatabase();
    MainWindow window;
    invoke(window, "miImportItunes");
    EXPECT_GT(storedMessages(localDbFolder(proposedName)), 0);
    const QStringList infos = script.boxTexts(QMessageBox::Information);
    ASSERT_EQ(infos.size(), 1);
    EXPECT_TRUE(infos.front().endsWith(QStringLiteral("<br/><br/>") + ITunesCacheSMSThread::skippedFilesText(1, {"HomeDomain-Library/SMS/sms.db-wal"})))
        << infos.front().toStdString();
}

TEST_F(ImportTest, IntoAnExistingDatabaseByItsMenuOrByANameDifferingInCase)
{
    makeLocalDb(QStringLiteral("Work"), 0);
    const QString backup = writeBackup({});
    MainWindow window;
    _AbsDBItemNode* work = localNode(window, QStringLiteral("Work"));
    ASSERT_NE(work, nullptr);
    select(window, work);

    answerChooser(backup);
    answerDatabase();
    invoke(window, "miImportToLocalDb");
    EXPECT_EQ(proposedName, QStringLiteral("Work"));
    const int imported = storedMessages(localDbFolder(QStringLiteral("Work")));
    EXPECT_GT(imported, 0);

    answerChooser(backup);
    answerDatabase(QStringLiteral("WORK"));
    invoke(window, "miImportItunes");
    EXPECT_EQ(localDatabaseFolders(), QStringList{QStringLiteral("Work")});
    EXPECT_EQ(window.mainModel()->localDbRoot()->children.size(), 1u);
    EXPECT_EQ(localNode(window, QStringLiteral("Work")), work);
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("Work"))), imported);  // merged, nothing doubled
}

TEST_F(ImportTest, WrongPasswordMissingMessagesAndCancelsLeaveNothingBehind)
{
    fixtures::SampleBackupOptions encrypted;
    encrypted.encrypted = true;
    const QString locked = writeBackup(encrypted, QStringLiteral("locked"));
    fixtures::SampleBackupOptions noMessages;
    noMessages.withMessages = false;
    const QString empty = writeBackup(noMessages, QStringLiteral("empty"));
    const QString plain = writeBackup({}, QStringLiteral("plain"));
    MainWindow window;

    answerChooser(locked);
    answerPassword(QStringLiteral("wrong"));
    invoke(window, "miImportItunes");
    EXPECT_EQ(script.boxTexts(QMessageBox::Warning).size(), 1);

    answerChooser(empty);
    invoke(window, "miImportItunes");
    ASSERT_EQ(script.boxTexts(QMessageBox::Critical).size(), 1);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).front().contains(QStringLiteral("Found no message database")));

    answerChooser(plain);
    script.answerDialog(QDialog::Rejected);  // the database chooser
    invoke(window, "miImportItunes");

    // Cancelled while the messages are being copied into a new database.
    answerChooser(plain);
    script.answerDialog([](QDialog& dialog) {
        dialog.findChild<QComboBox*>(QStringLiteral("cbLocalDbNames"))->setEditText(QStringLiteral("Half"));
        QMetaObject::invokeMethod(&dialog, "onBtnOkPress");
        // Runs first in the copy's progress dialog, long before the copy could end.
        QTimer::singleShot(0, [] {
            for (QWidget* widget : QApplication::topLevelWidgets()) {
                if (auto* form = qobject_cast<ProgressForm*>(widget))
                    form->cancel();
            }
        });
        return dialog.result();
    });
    invoke(window, "miImportItunes");

    EXPECT_TRUE(localDatabaseFolders().isEmpty()) << qPrintable(localDatabaseFolders().join(", "));
    EXPECT_TRUE(window.mainModel()->localDbRoot()->children.empty());
    EXPECT_EQ(script.dialogs().size(), 7u);
}

TEST_F(ImportTest, BackupCommandsCopyAllAConversationOrTheSelectionOfADevice)
{
    makeVirtualDevice(QStringLiteral("iPhone"));
    MainWindow window;
    Node* device = childNamed(window.mainModel()->deviceRoot(), QStringLiteral("iPhone"));
    ASSERT_NE(device, nullptr);
    ASSERT_FALSE(device->children.empty());

    select(window, device);
    const int all = window.smsModel()->rowCount();
    answerDatabase();
    invoke(window, "miBackup");
    EXPECT_EQ(proposedName, QStringLiteral("iPhone_Backup"));
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("iPhone_Backup"))), all);

    device->name = QStringLiteral("i/Phone:");  // names from devices are made safe for a folder
    Node* chat = device->children.front().get();
    select(window, chat);
    const int inChat = window.smsModel()->rowCount();
    ASSERT_LT(inChat, all);
    answerDatabase(QStringLiteral("chat only"));
    invoke(window, "miBackup");
    EXPECT_EQ(proposedName, QStringLiteral("iPhone_Backup"));  // sanitised
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("chat only"))), inChat);

    select(window, chat);
    selectRows(window, {0, 2});
    answerDatabase(QStringLiteral("two"));
    invoke(window, "miBackup");
    EXPECT_EQ(storedMessages(localDbFolder(QStringLiteral("two"))), 2);
    EXPECT_EQ(window.mainModel()->localDbRoot()->children.size(), 3u);
    EXPECT_TRUE(script.boxTexts(QMessageBox::Critical).isEmpty());
}

TEST_F(ImportTest, EachBackupSlotCopiesItsOwnScopeWhateverIsSelected)
{
    makeVirtualDevice(QStringLiteral("iPhone"));
    MainWindow window;
    Node* device = childNamed(window.mainModel()->deviceRoot(), QStringLiteral("iPhone"));
    ASSERT_NE(device, nullptr);
    select(window, device);
    const int all = window.smsModel()->rowCount();
    Node* chat = device->children.front().get();
    select(window, chat);
    const int inChat = window.smsModel()->rowCount();
    ASSERT_GT(inChat, 1);
    ASSERT_LT(inChat, all);

    const struct {
        const char* slot;
        int copied;
    } cases[] = {{"miBackupSel", 1}, {"miBackupChat", inChat}, {"miBackupAll", all}};
    for (const auto& c : cases) {
        select(window, chat);  // the last copy made its target current
        selectRows(window, {0});
        answerDatabase(QString::fromLatin1(c.slot));
        invoke(window, c.slot);
        EXPECT_EQ(storedMessages(localDbFolder(QString::fromLatin1(c.slot))), c.copied) << c.slot;
    }
}

// Writing back: an encrypted backup is refused before anything is copied; a plain one takes the messages.
TEST_F(ImportTest, MessagesMergeOnlyIntoAPlainBackupAndTheResultCountsThem)
{
    makeLocalDb(QStringLiteral("Mine"), 30);
    fixtures::SampleBackupOptions encrypted;
    encrypted.encrypted = true;
    const QString locked = writeBackup(encrypted, QStringLiteral("locked"));
    const QString plain = writeBackup({}, QStringLiteral("plain"));
    MainWindow window;
    select(window, localNode(window, QStringLiteral("Mine")));
    answerChooser(locked);
    answerChooser(plain);

    invoke(window, "miExport2ITunesBKAll");
    invoke(window, "miExport2ITunesBKAll");

    EXPECT_EQ(script.boxTexts(QMessageBox::Warning),
              QStringList(QStringLiteral("Failed to export messages to iTunes backup because your current iTunes backup"
                                         " is encrypted.")));
    const int sent = localNode(window, QStringLiteral("Mine"))->store.messageList().size();
    EXPECT_EQ(script.boxTexts(QMessageBox::Information),
              QStringList(QStringLiteral("Successfully recovered %1 messages to iPhone.").arg(sent)));
    const QStringList kept = {QStringLiteral("Manifest.mbdb-*")};
    EXPECT_TRUE(QDir(locked).entryList(kept).isEmpty());
    EXPECT_EQ(QDir(plain).entryList(kept).size(), 1);
    EXPECT_TRUE(WriteBack::restoreResultText(3, 2).startsWith(
        QStringLiteral("Successfully recovered 3 messages to iPhone. 2 messages with unknown contact info")));
}

}  // namespace
