#include "core/datadir.h"

#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"

#include <gtest/gtest.h>

namespace {

const QString kProductId = QStringLiteral("5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3");

class DataDirTest : public TempHomeTest {
protected:
    QString makerFolder() const { return homePath(QStringLiteral(".local/share/VarnelQuist")); }
    QString defaultDataPath() const { return makerFolder() + QLatin1Char('/') + kProductId; }

    // Writes the redirection file with exactly these bytes.
    void writeRedirect(const QByteArray& content) const
    {
        ASSERT_TRUE(QDir().mkpath(makerFolder()));
        fixtures::writeTextFile(makerFolder() + QLatin1Char('/') + kProductId + QStringLiteral(".redirect"),
                                content);
    }

    // A folder outside the default location for redirection targets.
    QString makeTarget() const
    {
        const QString target = homePath(QStringLiteral("elsewhere"));
        QDir().mkpath(target);
        return target;
    }
};

TEST_F(DataDirTest, DefaultsBelowXdgDataHomeAndCreatesFolders)
{
    EXPECT_EQ(defaultDataRoot(), makerFolder());
    EXPECT_TRUE(readDataDirRedirect().isEmpty());
    const QDir data = dataDir();
    EXPECT_EQ(data.absolutePath(), defaultDataPath());
    EXPECT_TRUE(data.exists());

    const QDir local = localDatabasesDir();
    EXPECT_EQ(local.absolutePath(), defaultDataPath() + QStringLiteral("/local_databases"));
    EXPECT_TRUE(local.exists());

    // Removed behind our back: the next call creates it again.
    ASSERT_TRUE(QDir(defaultDataPath()).removeRecursively());
    EXPECT_TRUE(dataDir().exists());
}

TEST_F(DataDirTest, RedirectToExistingFolderMovesDataFolder)
{
    const QString target = makeTarget();
    writeRedirect(target.toUtf8());
    EXPECT_EQ(readDataDirRedirect(), target);
    EXPECT_EQ(dataDir().absolutePath(), target + QLatin1Char('/') + kProductId);
    EXPECT_TRUE(dataDir().exists());

    // The text ends at the first NUL.
    writeRedirect(target.toUtf8() + QByteArray("\0/rest", 6));
    EXPECT_EQ(readDataDirRedirect(), target);
}

TEST_F(DataDirTest, UnusableRedirectsFallBackToDefault)
{
    const QString target = makeTarget();
    fixtures::writeTextFile(homePath(QStringLiteral("plain-file")), "x");
    const QList<QByteArray> unusable = {
        target.toUtf8() + '\n',                        // not trimmed, so no such folder
        homePath(QStringLiteral("missing")).toUtf8(),  // folder does not exist
        homePath(QStringLiteral("plain-file")).toUtf8(),  // not a folder
        QByteArray("elsewhere"),                       // relative: would follow the working directory
        QByteArray(),
    };
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(homePath());
    for (const QByteArray& content : unusable) {
        SCOPED_TRACE(content.toStdString());
        writeRedirect(content);
        resetDataDirCacheForTesting();
        EXPECT_TRUE(readDataDirRedirect().isEmpty());
        EXPECT_EQ(dataDir().absolutePath(), defaultDataPath());
    }
    QDir::setCurrent(oldCwd);
}

TEST_F(DataDirTest, WrittenRedirectReadsBackAndTakesEffectAfterReset)
{
    EXPECT_EQ(dataDir().absolutePath(), defaultDataPath());
    const QString target = makeTarget() + QStringLiteral("/Ünïcode folder");
    ASSERT_TRUE(QDir().mkpath(target));
    ASSERT_TRUE(writeDataDirRedirect(target));
    EXPECT_EQ(readDataDirRedirect(), target);

    EXPECT_EQ(dataDir().absolutePath(), defaultDataPath()) << "resolved once per process";
    resetDataDirCacheForTesting();
    EXPECT_EQ(dataDir().absolutePath(), target + QLatin1Char('/') + kProductId);
}

}  // namespace
