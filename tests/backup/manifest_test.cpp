#include "backup/backupmanifest.h"

#include "fixtures/backup_builder.h"
#include "fixtures/temp_home.h"

#include <QFile>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using fixtures::BackupBuilder;
using fixtures::BackupDevice;
using fixtures::PlistFormat;

BackupDevice encryptedDevice()
{
    BackupDevice device;
    device.deviceName = QStringLiteral("Ann’s phone");
    device.isEncrypted = true;
    device.keyBag = QByteArray("VERS\0\0\0\x04", 8);
    return device;
}

void expectDescribes(const BackupDeviceInfo& info, const BackupDevice& device)
{
    EXPECT_EQ(info.uniqueDeviceId, device.uniqueDeviceId);
    EXPECT_EQ(info.deviceName, device.deviceName);
    EXPECT_EQ(info.date, device.date);
    EXPECT_EQ(info.productType, device.productType);
    EXPECT_EQ(info.productVersion, device.productVersion);
    EXPECT_EQ(info.serialNumber, device.serialNumber);
    EXPECT_EQ(info.isEncrypted, device.isEncrypted);
    EXPECT_EQ(info.keyBagData, device.keyBag);
}

TEST(ManifestPlist, XmlAndBinaryGiveTheSameDeviceInfo)
{
    const BackupDevice device = encryptedDevice();
    const BackupDeviceInfo fromXml = parseManifestPlist(BackupBuilder::manifestPlist(device, PlistFormat::Xml));
    const BackupDeviceInfo fromBinary = parseManifestPlist(BackupBuilder::manifestPlist(device, PlistFormat::Binary));
    expectDescribes(fromXml, device);
    EXPECT_EQ(fromXml, fromBinary);
}

TEST(ManifestPlist, MissingKeysAndWrongTypesGiveEmptyValues)
{
    const QByteArray partial =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?><plist version=\"1.0\"><dict>"
        "<key>Lockdown</key><dict><key>DeviceName</key><string>Phone</string>"
        "<key>UniqueDeviceID</key><integer>5</integer></dict>"
        "<key>Date</key><string>yesterday</string></dict></plist>";
    const BackupDeviceInfo info = parseManifestPlist(partial);
    EXPECT_EQ(info.deviceName, QStringLiteral("Phone"));
    EXPECT_EQ(info.uniqueDeviceId, QString());
    EXPECT_FALSE(info.date.isValid());
    EXPECT_FALSE(info.isEncrypted);
    EXPECT_TRUE(info.keyBagData.isEmpty());

    EXPECT_EQ(parseManifestPlist("not a property list"), BackupDeviceInfo());
    EXPECT_EQ(parseManifestPlist(QByteArray("bplist00\xff\xff", 10)), BackupDeviceInfo());
    EXPECT_EQ(parseManifestPlist("<plist><array/></plist>"), BackupDeviceInfo());
}

TEST(ManifestPlist, DisplayNameReplacesTheDeviceIdInTheFolderName)
{
    BackupDeviceInfo info;
    info.uniqueDeviceId = QStringLiteral("abc123");
    info.deviceName = QStringLiteral("Phone");
    EXPECT_EQ(backupDisplayName(QStringLiteral("abc123"), info), QStringLiteral("Phone"));
    EXPECT_EQ(backupDisplayName(QStringLiteral("abc123-20130514-093000"), info),
              QStringLiteral("Phone-20130514-093000"));
    EXPECT_EQ(backupDisplayName(QStringLiteral("old backup"), info), QStringLiteral("Phone-old backup"));
    EXPECT_EQ(backupDisplayName(QStringLiteral("ABC123"), info), QStringLiteral("Phone-ABC123"));

    info.uniqueDeviceId.clear();  // would otherwise insert the name between every two characters
    EXPECT_EQ(backupDisplayName(QStringLiteral("folder"), info), QStringLiteral("Phone-folder"));
    info.deviceName.clear();
    EXPECT_EQ(backupDisplayName(QStringLiteral("folder"), info), QStringLiteral("folder"));
}

class BackupManifestTest : public TempHomeTest {};

TEST_F(BackupManifestTest, LoadsTheManifestOfABackupInTheBackupRoot)
{
    const QDir root = iTunesBackupRoot();
    EXPECT_EQ(root.absolutePath(), homePath(QStringLiteral(".local/share/Apple Computer/MobileSync/Backup")));

    const BackupDevice device = encryptedDevice();
    BackupBuilder builder;
    builder.setDevice(device).addFile(QStringLiteral("HomeDomain"), QStringLiteral("Library/SMS/sms.db"), "db");
    builder.write(root.absoluteFilePath(device.uniqueDeviceId + QStringLiteral("-copy")), PlistFormat::Xml);

    const QStringList folders = root.entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    ASSERT_EQ(folders.size(), 1);
    BackupManifest manifest(QDir(root.absoluteFilePath(folders.first())));
    manifest.loadManifestPlist();
    expectDescribes(manifest.deviceInfo, device);
    EXPECT_EQ(manifest.displayName, device.deviceName + QStringLiteral("-copy"));
    manifest.loadMbdb();
    ASSERT_NE(manifest.smsDb, nullptr);
    EXPECT_TRUE(QFile::exists(manifest.backupDir.absoluteFilePath(manifest.smsDb->record.fileId())));
}

TEST_F(BackupManifestTest, MissingManifestIsReportedWithItsPath)
{
    BackupManifest manifest{QDir(homePath())};
    try {
        manifest.loadManifestPlist();
        FAIL() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_EQ(QString::fromUtf8(error.what()),
                  QStringLiteral("Cannot find ") + QDir(homePath()).absoluteFilePath(QStringLiteral("Manifest.plist")));
    }
    EXPECT_TRUE(manifest.displayName.isEmpty());
}

TEST_F(BackupManifestTest, CacheIdNamesTheFolder)
{
    const QString id = BackupManifest(QDir(homePath(QStringLiteral("a")))).cacheId();
    EXPECT_EQ(id, BackupManifest(QDir(homePath(QStringLiteral("b/../a")))).cacheId());
    EXPECT_NE(id, BackupManifest(QDir(homePath(QStringLiteral("b")))).cacheId());
    EXPECT_EQ(id.size(), 32);
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^[0-9a-f]{32}$")).match(id).hasMatch());
}

}  // namespace
