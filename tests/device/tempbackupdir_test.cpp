// The temporary backup folder: private, below the data folder, and removed only when its state file
// says a backup may be there.
#include "core/datadir.h"
#include "device/tempbackupdir.h"
#include "fixtures/temp_home.h"

#include <QFile>
#include <QFileInfo>
#include <gtest/gtest.h>

#include <stdexcept>

namespace {

class TempBackupDirTest : public TempHomeTest {
protected:
    static QString root() { return dataFolderPath(DataFolder::TempBackups); }
    static QString stateFile() { return dataFilePath(DataFile::TempBackupsState); }
    static void writeFile(const QString& path, const QByteArray& bytes)
    {
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write(bytes);
    }
    static QByteArray readFile(const QString& path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
};

TEST_F(TempBackupDirTest, RootIsAPrivateFolderBelowTheDataFolderAndTheStateFileNamesItsBase)
{
    writeFile(stateFile(), "/somewhere/that/moved");  // left by an older data folder: rewritten
    const QDir chosen = chooseTempBackupDir();
    EXPECT_EQ(chosen.absolutePath(), root());
    EXPECT_TRUE(QFileInfo(root()).isDir());
    EXPECT_EQ(QFileInfo(root()).permissions() & (QFile::ReadGroup | QFile::ReadOther | QFile::ExeOther), 0);
    EXPECT_EQ(readFile(stateFile()), dataDir().absolutePath().toUtf8());
    EXPECT_EQ(chooseTempBackupDir().absolutePath(), root());  // the second run reuses it
}

TEST_F(TempBackupDirTest, ALinkInPlaceOfTheRootIsRefused)
{
    const QString elsewhere = homePath(QStringLiteral("elsewhere"));
    QDir().mkpath(elsewhere);
    ASSERT_TRUE(QFile::link(elsewhere, root()));
    EXPECT_THROW(chooseTempBackupDir(), std::runtime_error);
}

TEST_F(TempBackupDirTest, RemovalNeedsTheStateFileAndNeverUsesItsTextAsAPath)
{
    writeFile(root() + QStringLiteral("/udid/Manifest.plist"), "plist");
    EXPECT_TRUE(removeTempBackupDir());
    EXPECT_TRUE(QFileInfo::exists(root() + QStringLiteral("/udid/Manifest.plist")));
    EXPECT_FALSE(QFileInfo::exists(stateFile()));  // nothing was probed or written

    // A state file naming another folder: only our own root goes.
    const QString foreign = homePath(QStringLiteral("foreign"));
    writeFile(foreign + QLatin1Char('/') + QFileInfo(root()).fileName() + QStringLiteral("/keep"), "keep");
    writeFile(stateFile(), foreign.toUtf8());
    EXPECT_TRUE(removeTempBackupDir());
    EXPECT_FALSE(QFileInfo::exists(root()));
    EXPECT_FALSE(QFileInfo::exists(stateFile()));
    EXPECT_TRUE(QFileInfo::exists(foreign + QLatin1Char('/') + QFileInfo(root()).fileName() + QStringLiteral("/keep")));
}

}  // namespace
