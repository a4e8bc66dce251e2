#include "core/datadir.h"
#include "device/iosdevice.h"
#include "fixtures/temp_home.h"

#include <QTemporaryDir>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class IOSDeviceTest : public TempHomeTest {};

TEST(IOSDeviceVersion, NumbersOfTheProductVersion)
{
    IOSDevice device;
    device.productVersion = QStringLiteral("7.1.2");
    EXPECT_EQ(device.versionNumbers(), (QList<int>{7, 1, 2}));
    device.productVersion = QStringLiteral("10.3");
    EXPECT_EQ(device.versionNumbers(), (QList<int>{10, 3}));
    device.productVersion.clear();
    EXPECT_TRUE(device.versionNumbers().isEmpty());
}

TEST(IOSDeviceUdid, OnlyPlainIdentifiersNameFolders)
{
    EXPECT_TRUE(IOSDevice::isValidUdid(QStringLiteral("0123456789abcdef0123456789ABCDEF01234567")));
    EXPECT_TRUE(IOSDevice::isValidUdid(QStringLiteral("00008030-001A2B3C4D5E6F70")));
    for (const char* bad : {"", "../../..", "a/b", "a b", "x\n", "/abs"})
        EXPECT_FALSE(IOSDevice::isValidUdid(QString::fromUtf8(bad))) << bad;
    EXPECT_FALSE(IOSDevice::isValidUdid(QString(65, QLatin1Char('a'))));
}

TEST_F(IOSDeviceTest, CacheFolderIsBelowTheDataFolderAndCreated)
{
    IOSDevice device;
    device.udid = QStringLiteral("abc123");
    const QDir cache = device.cacheDir();
    EXPECT_TRUE(cache.exists());
    EXPECT_EQ(cache.absolutePath(), dataDir().absoluteFilePath(QStringLiteral("ios_cache/abc123")));
}

TEST_F(IOSDeviceTest, HostileOrMissingIdentifierNamesNoFolderAndSaysWhy)
{
    const std::pair<const char*, const char*> cases[] = {
        {"../../escape", "Invalid device identifier: ../../escape"},
        {"", "The iPhone gave no usable device identifier."}};  // the phone's value was no text
    for (const auto& [udid, refusal] : cases) {
        IOSDevice device;
        device.udid = QString::fromUtf8(udid);
        try {
            device.cacheDir();
            ADD_FAILURE() << "no exception for " << udid;
        } catch (const std::runtime_error& thrown) {
            EXPECT_STREQ(thrown.what(), refusal);
        }
    }
    EXPECT_EQ(dataDir().entryList(QDir::AllEntries | QDir::NoDotAndDotDot), QStringList());
}

TEST_F(IOSDeviceTest, VirtualDeviceCachesInItsOwnFolder)
{
    const QString folder = homePath(QStringLiteral("virtual/dev1"));
    IOSDevice device;
    device.udid = folder;
    device.virtualFolder = folder;
    EXPECT_EQ(device.cacheDir().absolutePath(), folder);
    EXPECT_FALSE(QDir(dataDir().absoluteFilePath(QStringLiteral("ios_cache"))).exists());
}

}  // namespace
