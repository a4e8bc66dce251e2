#include "core/safepath.h"

#include "fixtures/temp_home.h"

#include <QFile>

#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

namespace {

TEST(IsSafeRelativePath, RejectsEscapesAndOddForms)
{
    const QStringList unsafe = {
        QString(), QStringLiteral("."), QStringLiteral(".."), QStringLiteral("../a"), QStringLiteral("a/.."),
        QStringLiteral("a/../../b"), QStringLiteral("a/./b"), QStringLiteral("/etc/passwd"), QStringLiteral("a//b"),
        QStringLiteral("a/"), QStringLiteral("a\\..\\..\\b"), QStringLiteral("\\\\server\\share"),
        QStringLiteral("C:"), QStringLiteral("c:\\x"), QStringLiteral("C:x"),
        QStringLiteral("a") + QChar(0) + QStringLiteral("b"),
    };
    for (const QString& path : unsafe)
        EXPECT_FALSE(isSafeRelativePath(path)) << path.toStdString();

    for (const char* path : {"a", "a/b/c.txt", "a\\b", "...", "..a", "a..", "Library/SMS/sms.db", "1:2"})
        EXPECT_TRUE(isSafeRelativePath(QString::fromUtf8(path))) << path;
}

class ResolveContainedTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        m_folder = homePath(QStringLiteral("folder"));
        ASSERT_TRUE(QDir().mkpath(m_folder + QStringLiteral("/inner")));
        ASSERT_TRUE(QDir().mkpath(homePath(QStringLiteral("outside"))));
    }
    std::optional<QString> resolve(const QString& relative) const { return resolveContained(m_folder, relative); }
    void link(const QString& target, const QString& name) const
    {
        ASSERT_TRUE(QFile::link(target, m_folder + QLatin1Char('/') + name));
    }

    QString m_folder;
};

TEST_F(ResolveContainedTest, ResolvesPlainNestedPathsExistingOrNot)
{
    EXPECT_EQ(resolve(QStringLiteral("inner/new/file.txt")), m_folder + QStringLiteral("/inner/new/file.txt"));
    EXPECT_EQ(resolve(QStringLiteral("inner\\file.txt")), m_folder + QStringLiteral("/inner/file.txt"));
    EXPECT_EQ(resolve(QStringLiteral("inner")), m_folder + QStringLiteral("/inner"));
    EXPECT_EQ(resolveContained(homePath(QStringLiteral("not-yet")), QStringLiteral("a/b")),
              homePath(QStringLiteral("not-yet/a/b")));
}

TEST_F(ResolveContainedTest, RejectsLexicalEscapes)
{
    for (const char* path : {"", ".", "..", "../outside", "a/../../b", "inner/../..", "/etc/passwd", "a//b",
                             "..\\outside"})
        EXPECT_EQ(resolve(QString::fromUtf8(path)), std::nullopt) << path;
    EXPECT_EQ(resolveContained(QString(), QStringLiteral("a")), std::nullopt);
}

TEST_F(ResolveContainedTest, RejectsLinksLeadingOutside)
{
    link(homePath(QStringLiteral("outside")), QStringLiteral("out"));
    link(homePath(QStringLiteral("outside/missing.txt")), QStringLiteral("dangling"));
    link(m_folder + QStringLiteral("/inner"), QStringLiteral("in"));

    EXPECT_EQ(resolve(QStringLiteral("out")), std::nullopt);
    EXPECT_EQ(resolve(QStringLiteral("out/file.txt")), std::nullopt);
    EXPECT_EQ(resolve(QStringLiteral("out/deeper/file.txt")), std::nullopt);
    EXPECT_EQ(resolve(QStringLiteral("dangling")), std::nullopt);
    EXPECT_EQ(resolve(QStringLiteral("in/file.txt")), m_folder + QStringLiteral("/in/file.txt"));
}

TEST_F(ResolveContainedTest, FolderReachedThroughLinkStillContains)
{
    const QString alias = homePath(QStringLiteral("alias"));
    ASSERT_TRUE(QFile::link(m_folder, alias));
    EXPECT_EQ(resolveContained(alias, QStringLiteral("inner/x")), alias + QStringLiteral("/inner/x"));
    link(homePath(QStringLiteral("outside")), QStringLiteral("out"));
    EXPECT_EQ(resolveContained(alias, QStringLiteral("out/x")), std::nullopt);
}

TEST_F(ResolveContainedTest, OneFolderSharedByThreadsAnswersAsFreshChecksDo)
{
    link(homePath(QStringLiteral("outside")), QStringLiteral("inner/out"));
    link(homePath(QStringLiteral("outside/missing")), QStringLiteral("inner/dangling"));
    link(m_folder + QStringLiteral("/inner"), QStringLiteral("in"));
    QStringList paths;
    for (const char* tail : {"a/b/file", "a/file", "out/file", "out/x/y", "dangling", "dangling/x", "file"}) {
        paths << QStringLiteral("inner/") + QLatin1String(tail) << QStringLiteral("in/") + QLatin1String(tail);
    }
    paths << QStringLiteral("../x") << QStringLiteral("in/../../x");
    std::vector<std::optional<QString>> expected;
    for (const QString& path : qAsConst(paths))
        expected.push_back(resolve(path));

    // Folders the first answers remember must give later ones, on any thread, the same answer.
    const ContainedFolder shared(m_folder);
    std::vector<std::thread> threads;
    std::vector<int> mismatches(8, 0);
    for (std::size_t t = 0; t < mismatches.size(); ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 50; ++round) {
                for (int i = 0; i < paths.size(); ++i)
                    mismatches[t] += shared.resolve(paths.at(i)) != expected[std::size_t(i)];
            }
        });
    }
    for (std::thread& thread : threads)
        thread.join();
    EXPECT_EQ(std::count(mismatches.cbegin(), mismatches.cend(), 0), int(mismatches.size()));
    EXPECT_EQ(expected[0], m_folder + QStringLiteral("/inner/a/b/file"));
    EXPECT_EQ(expected[5], std::nullopt);  // in/out/file
}

}  // namespace
