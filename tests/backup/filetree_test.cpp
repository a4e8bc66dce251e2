#include "backup/backupmanifest.h"

#include "fixtures/backup_builder.h"

#include <QTemporaryDir>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using fixtures::BackupBuilder;

const QString home = QStringLiteral("HomeDomain");
const QString media = QStringLiteral("MediaDomain");

QStringList childNames(const BackupFileNode& node)
{
    QStringList names;
    for (const auto& child : node.children)
        names.append(child->name);
    return names;
}

class FileTreeTest : public ::testing::Test {
protected:
    // Writes the builder's backup and loads its tree.
    BackupManifest& load(const BackupBuilder& builder)
    {
        builder.write(m_dir.path());
        m_manifest = std::make_unique<BackupManifest>(QDir(m_dir.path()));
        m_manifest->loadMbdb();
        return *m_manifest;
    }

    QTemporaryDir m_dir;
    std::unique_ptr<BackupManifest> m_manifest;
};

TEST_F(FileTreeTest, DomainsShareOneTreeAndApplicationsStandApart)
{
    BackupBuilder builder;
    builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), "db")
        .addFolder(media, QStringLiteral("Library/SMS/Attachments/ab/12"))
        .addFile(media, QStringLiteral("Library/SMS/Attachments/ab/12/IMG_0001.JPG"), "jpg")
        .addFile(QStringLiteral("AppDomain-com.example.notes"), QStringLiteral("Documents/a.txt"), "a")
        .addFile(QStringLiteral("AppDomain-com.example.chat"), QStringLiteral("Library/b.db"), "b");
    BackupManifest& manifest = load(builder);

    EXPECT_EQ(childNames(manifest.root), QStringList({"Applications", "Library"}));
    const BackupFileNode* library = manifest.root.childNamed(QStringLiteral("library"));
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(library->record.domain.toString(), home);  // the first domain in order wins
    const BackupFileNode* sms = library->childNamed(QStringLiteral("SMS"));
    ASSERT_NE(sms, nullptr);
    EXPECT_EQ(sms->parent, library);
    EXPECT_EQ(childNames(*sms), QStringList({"sms.db", "Attachments"}));
    EXPECT_EQ(sms->childNamed(QStringLiteral("Attachments"))->record.domain.toString(), media);
    EXPECT_EQ(manifest.smsDb, sms->childNamed(QStringLiteral("sms.db")));

    const BackupFileNode* applications = manifest.root.childNamed(QStringLiteral("Applications"));
    ASSERT_NE(applications, nullptr);
    EXPECT_EQ(applications->record, MbdbRecord());
    EXPECT_EQ(childNames(*applications), QStringList({"com.example.chat", "com.example.notes"}));
    const BackupFileNode* notes = applications->childNamed(QStringLiteral("com.example.notes"));
    EXPECT_EQ(notes->record.path.toString(), QString());  // the domain's root record
    EXPECT_EQ(childNames(*notes->childNamed(QStringLiteral("Documents"))), QStringList({"a.txt"}));

    manifest.loadMbdb();  // a second call changes nothing
    EXPECT_EQ(childNames(manifest.root), QStringList({"Applications", "Library"}));
    EXPECT_EQ(sms->children.size(), 2u);
}

TEST_F(FileTreeTest, UnsafePathComponentsNeverBecomeNodes)
{
    BackupBuilder builder;
    builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), "db");
    for (const char* path : {"Library/SMS/..", "Library/SMS/.", "..", "Library//x", "Library/SMS/../../etc",
                             "Library/..\\..\\y"}) {
        MbdbRecord hostile;
        hostile.domain = MbdbString::fromUtf8(home);
        hostile.path = MbdbString::fromUtf8(QString::fromUtf8(path));
        hostile.size = 4;
        builder.addRecord(hostile, "evil");
    }
    MbdbRecord app;
    app.domain = MbdbString::fromUtf8(QStringLiteral("AppDomain-.."));
    builder.addRecord(app);
    BackupManifest& manifest = load(builder);

    const BackupFileNode* library = manifest.root.childNamed(QStringLiteral("Library"));
    ASSERT_NE(library, nullptr);
    EXPECT_EQ(childNames(manifest.root), QStringList({"Applications", "Library"}));
    EXPECT_TRUE(manifest.root.childNamed(QStringLiteral("Applications"))->children.empty());
    EXPECT_EQ(childNames(*library), QStringList({"SMS"}));
    EXPECT_EQ(childNames(*library->childNamed(QStringLiteral("SMS"))), QStringList({"sms.db"}));
}

TEST_F(FileTreeTest, RecordsWithoutFolderRecordHangUnderTheRoot)
{
    MbdbRecord orphan;
    orphan.domain = MbdbString::fromUtf8(home);
    orphan.path = MbdbString::fromUtf8(QStringLiteral("Lost/Folder/file.txt"));
    orphan.size = 1;
    BackupManifest& manifest = load(BackupBuilder().addRecord(orphan, "x"));
    EXPECT_EQ(childNames(manifest.root), QStringList({"file.txt"}));
}

TEST_F(FileTreeTest, ReaderErrorsAndCancelsLeaveTheTreeEmptyForALaterTry)
{
    BackupManifest manifest{QDir(m_dir.path())};
    EXPECT_THROW(manifest.loadMbdb(), std::runtime_error);
    EXPECT_TRUE(manifest.root.children.empty());

    BackupBuilder builder;
    builder.addFile(home, QStringLiteral("Library/SMS/sms.db"), "db");
    for (int k = 0; k < 3000; ++k)
        builder.addFile(media, QStringLiteral("f%1").arg(k), "f");
    builder.write(m_dir.path());
    int asked = 0;
    // Cancelled once the tree holds sms.db and some thousand files.
    EXPECT_THROW(manifest.loadMbdb([&asked] { return ++asked == 3; }), int);
    EXPECT_TRUE(manifest.root.children.empty());
    EXPECT_EQ(manifest.smsDb, nullptr);

    manifest.loadMbdb();
    EXPECT_EQ(manifest.root.children.size(), 3001u);
    EXPECT_NE(manifest.smsDb, nullptr);
}

TEST_F(FileTreeTest, DeepTreesAreFreedWithoutRecursion)
{
    BackupFileNode root(nullptr, MbdbRecord(), QString());
    BackupFileNode* node = &root;
    for (int depth = 0; depth < 200000; ++depth)
        node = node->addChild(std::make_unique<BackupFileNode>(node, MbdbRecord(), QStringLiteral("d")));
    SUCCEED();  // the destructor of root must not overflow the stack
}

TEST_F(FileTreeTest, WellKnownFilesAreIndexed)
{
    BackupBuilder builder;
    const auto file = [&builder](const char* domain, const char* path) {
        builder.addFile(QString::fromUtf8(domain), QString::fromUtf8(path), "content");
    };
    file("HomeDomain", "Library/SMS/sms.db");
    file("HomeDomain", "Library/sms/SMS.DB");  // sorts after and leaves smsDb alone
    file("HomeDomain", "Library/AddressBook/AddressBook.sqlitedb");
    file("HomeDomain", "Library/AddressBook/AddressBookImages.sqlitedb");
    file("HomeDomain", "Library/CallHistoryDB/CallHistory.storedata");
    file("HomeDomain", "Library/Voicemail/17.amr");
    file("HomeDomain", "Library/Voicemail/99999999999.amr");
    file("HomeDomain", "Library/Voicemail/18.amr.bak");
    file("WirelessDomain", "Library/CallHistory/call_history.db");
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0001.JPG");
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0002.png");
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0003.gif");
    file("CameraRollDomain", "Media/DCIM/100APPLE/IMG_0004.MOV");
    file("CameraRollDomain", "Media/PhotoData/MetaData/DCIM/100APPLE/IMG_0001.THM");
    file("CameraRollDomain", "Media/DCIM/.THMB/x/100APPLE___IMG_0002.jpg");
    file("MediaDomain", "Media/Recordings/Recordings.db");
    file("MediaDomain", "Media/Recordings/memo 1.m4a");
    file("MediaDomain", "Library/SMS/Attachments/ab/12/IMG_0001-preview-left.jpg");
    file("MediaDomain", "Library/SMS/Attachments/ab/12/IMG_0001.JPG");
    file("MediaDomain", "Library/SMS/Attachments/cd/photo.1.jpg");
    file("MediaDomain", "Library/SMS/Parts/p1/2/part.3.txt");
    BackupManifest& manifest = load(builder);

    const auto pathOf = [](const BackupFileNode* node) { return node ? node->record.path.toString() : QString(); };
    EXPECT_EQ(pathOf(manifest.smsDb), QStringLiteral("Library/SMS/sms.db"));
    EXPECT_EQ(pathOf(manifest.addressBookDb), QStringLiteral("Library/AddressBook/AddressBook.sqlitedb"));
    EXPECT_EQ(pathOf(manifest.addressBookImagesDb), QStringLiteral("Library/AddressBook/AddressBookImages.sqlitedb"));
    EXPECT_NE(manifest.callHistoryStore, nullptr);
    EXPECT_NE(manifest.callHistoryDb, nullptr);
    EXPECT_NE(manifest.recordingsDb, nullptr);
    EXPECT_EQ(manifest.notesDb, nullptr);
    EXPECT_EQ(manifest.voicemails.keys(), QList<int>({0, 17}));

    ASSERT_EQ(manifest.cameraRollPhotos.size(), 2);
    EXPECT_EQ(pathOf(manifest.cameraRollPhotos.at(0)), QStringLiteral("Media/DCIM/100APPLE/IMG_0001.JPG"));
    ASSERT_EQ(manifest.cameraRollVideos.size(), 1);
    EXPECT_EQ(manifest.photoThumbnails.keys(), QStringList({"IMG_0001", "IMG_0002"}));
    EXPECT_EQ(manifest.voiceMemos.keys(), QStringList({"memo 1.m4a"}));

    const QString attachments = QStringLiteral("/var/mobile/Library/SMS/Attachments/");
    EXPECT_EQ(manifest.smsFilesByDevicePath.keys(),
              QStringList({attachments + "ab/12/IMG_0001", attachments + "ab/12/IMG_0001-preview",
                           attachments + "ab/12/IMG_0001-preview-left", attachments + "cd/photo.1",
                           "/var/mobile/Library/SMS/Parts/p1/2/part.3"}));
    EXPECT_EQ(manifest.smsAttachments.keys(), QStringList({"cd/photo"}));
    EXPECT_EQ(manifest.smsParts.keys(), QStringList({"part"}));
}

TEST_F(FileTreeTest, FoldersBelowSmsIndexNothingButEmptyFilesAreFiles)
{
    BackupBuilder builder;
    builder.addFolder(media, QStringLiteral("Library/SMS/Attachments/ab"))
        .addFile(media, QStringLiteral("Library/SMS/Attachments/ab/x.jpg"), "")
        .addFile(media, QStringLiteral("Media/Recordings/empty.m4a"), "")
        .addFile(home, QStringLiteral("Library/Voicemail/5.amr\n"), "x");
    MbdbRecord legacyFolder;  // no type bits: size 0 and no link target make it a folder
    legacyFolder.domain = MbdbString::fromUtf8(media);
    legacyFolder.path = MbdbString::fromUtf8(QStringLiteral("Library/SMS/Attachments/cd"));
    builder.addRecord(legacyFolder);
    BackupManifest& manifest = load(builder);

    const QString device = QStringLiteral("/var/mobile/Library/SMS/Attachments/ab/x");
    EXPECT_EQ(manifest.smsFilesByDevicePath.keys(), QStringList({device}));
    EXPECT_EQ(manifest.smsAttachments.keys(), QStringList({"ab/x"}));
    EXPECT_EQ(manifest.voiceMemos.keys(), QStringList({"empty.m4a"}));
    EXPECT_TRUE(manifest.voicemails.isEmpty());
    const BackupFileNode* attachments = manifest.root.childNamed(QStringLiteral("Library"))
                                            ->childNamed(QStringLiteral("SMS"))
                                            ->childNamed(QStringLiteral("Attachments"));
    ASSERT_NE(attachments, nullptr);
    EXPECT_EQ(childNames(*attachments), QStringList({"ab", "cd"}));
    EXPECT_TRUE(attachments->childNamed(QStringLiteral("cd"))->record.isFolder());
    EXPECT_FALSE(manifest.smsFilesByDevicePath.value(device)->record.isFolder());
}

}  // namespace
