#include "core/fileutil.h"
#include "core/releaseaside.h"

#include "fixtures/sqlite_file.h"
#include "fixtures/temp_home.h"
#include "platform/shell.h"

#include <QFile>
#include <QTemporaryDir>
#include <QUrl>

#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

namespace {

using FileUtilTest = TempHomeTest;

TEST_F(FileUtilTest, UniqueFilePathKeepsEverythingBeforeLastSuffix)
{
    const QString missing = QStringLiteral("relative/missing.txt");
    EXPECT_EQ(uniqueFilePath(missing), missing);

    for (const char* name : {"a.txt", "a(1).txt", "Ann B. Smith.txt", "report.tar.gz", "notes", ".profile", "%2.txt"})
        fixtures::writeTextFile(homePath(QString::fromUtf8(name)), "x");
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral("a.txt"))), homePath(QStringLiteral("a(2).txt")));
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral("Ann B. Smith.txt"))),
              homePath(QStringLiteral("Ann B. Smith(1).txt")));
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral("report.tar.gz"))), homePath(QStringLiteral("report.tar(1).gz")));
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral("notes"))), homePath(QStringLiteral("notes(1)")));
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral(".profile"))), homePath(QStringLiteral(".profile(1)")));
    EXPECT_EQ(uniqueFilePath(homePath(QStringLiteral("%2.txt"))), homePath(QStringLiteral("%2(1).txt")));
}

TEST_F(FileUtilTest, UniqueFilePathTreatsDanglingLinkAsTaken)
{
    const QString link = homePath(QStringLiteral("b.txt"));
    ASSERT_TRUE(QFile::link(homePath(QStringLiteral("nowhere/target")), link));
    EXPECT_EQ(uniqueFilePath(link), homePath(QStringLiteral("b(1).txt")));
}

TEST(SanitizeFileName, RemovesForbiddenAndControlCharacters)
{
    EXPECT_EQ(sanitizeFileName(QStringLiteral(" a<b>:c? ")), QStringLiteral("abc"));
    EXPECT_EQ(sanitizeFileName(QStringLiteral("a\\b/c*d\"e|f")), QStringLiteral("abcdef"));
    EXPECT_EQ(sanitizeFileName(QString::fromUtf8("a\tb\nc\x01" "d\x7f" "e\u0085f")), QStringLiteral("abcdef"));
    EXPECT_EQ(sanitizeFileName(QString(QChar(0xD800)) + QStringLiteral("x")), QStringLiteral("x"));
    EXPECT_EQ(sanitizeFileName(QString::fromUtf8("Ünïcode 😀 .txt")), QString::fromUtf8("Ünïcode 😀 .txt"));
}

TEST(SanitizeFileName, NeverGivesEmptyOrDotNames)
{
    for (const char* name : {"", "   ", ".", "..", "...", " .. ", "/..", "<>", "\x01\x02"})
        EXPECT_EQ(sanitizeFileName(QString::fromUtf8(name)), QStringLiteral("_")) << name;
    EXPECT_EQ(sanitizeFileName(QStringLiteral("..a")), QStringLiteral("..a"));
}

TEST(SanitizeFileName, CapsAtTwoHundredBytesOnCharacterBoundary)
{
    const QString euros = QStringLiteral("a") + QString(100, QChar(0x20AC));  // 1 + 300 bytes
    const QString cutEuros = sanitizeFileName(euros);
    EXPECT_EQ(cutEuros.toUtf8().size(), 199);
    EXPECT_EQ(cutEuros, euros.left(67));

    QString faces = QStringLiteral("a");
    for (int i = 0; i < 75; ++i)
        faces += QString::fromUtf8("😀");  // 4 bytes, a surrogate pair in UTF-16
    const QString cutFaces = sanitizeFileName(faces);
    EXPECT_EQ(cutFaces.toUtf8().size(), 197);
    EXPECT_FALSE(cutFaces.back().isHighSurrogate());
    EXPECT_EQ(QString::fromUtf8(cutFaces.toUtf8()), cutFaces);

    const QString exact(200, QLatin1Char('x'));
    EXPECT_EQ(sanitizeFileName(exact), exact);
}

TEST(Md5Hex, LowerCaseHexOfUtf8)
{
    EXPECT_EQ(md5Hex(QString()), QStringLiteral("d41d8cd98f00b204e9800998ecf8427e"));
    EXPECT_EQ(md5Hex(QStringLiteral("abc")), QStringLiteral("900150983cd24fb0d6963f7d28e17f72"));
}

// A plain file (copied in the kernel where it can be), one that gives its size as 0 (read to its
// end), one on another file system where there is one (read when the kernel will not copy across).
TEST(CopyToNewFile, CopiesEveryKindOfSourceAndNeverReplaces)
{
    QTemporaryDir dir;
    QTemporaryDir shm(QStringLiteral("/dev/shm/copytest-XXXXXX"));
    QByteArray pattern(3 << 20, Qt::Uninitialized);
    for (int i = 0; i < pattern.size(); ++i)
        pattern[i] = char(i * 7 + (i >> 13));
    QStringList sources{dir.filePath(QStringLiteral("plain")), QStringLiteral("/proc/self/cmdline")};
    fixtures::writeTextFile(sources[0], pattern);
    QFile::setPermissions(sources[0], QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup);
    if (shm.isValid())
        fixtures::writeTextFile((sources << shm.filePath(QStringLiteral("other"))).last(), pattern);
    for (int i = 0; i < sources.size(); ++i) {
        QFile source(sources[i]);
        ASSERT_TRUE(source.open(QIODevice::ReadOnly));
        const QString copy = dir.filePath(QStringLiteral("copy%1").arg(i));
        ASSERT_TRUE(copyToNewFile(sources[i], copy));
        QFile copied(copy);
        ASSERT_TRUE(copied.open(QIODevice::ReadOnly));
        EXPECT_EQ(copied.readAll(), source.readAll()) << sources[i].toStdString();
        EXPECT_EQ(copied.permissions(), source.permissions());
        EXPECT_THROW(copyToNewFile(sources[0], copy), std::runtime_error);
    }
    EXPECT_FALSE(copyToNewFile(dir.filePath(QStringLiteral("missing")), dir.filePath(QStringLiteral("none"))));
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1 + sources.size());
}

class RemoveDirTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        ASSERT_TRUE(QDir().mkpath(homePath(QStringLiteral("outside"))));
        fixtures::writeTextFile(homePath(QStringLiteral("outside/keep.txt")), "keep");
    }
    bool outsideIntact() const { return QFile::exists(homePath(QStringLiteral("outside/keep.txt"))); }
};

TEST_F(RemoveDirTest, RemovesHiddenFilesAndLinksWithoutFollowingThem)
{
    const QString tree = homePath(QStringLiteral("tree"));
    ASSERT_TRUE(QDir().mkpath(tree + QStringLiteral("/sub/.hidden-dir")));
    fixtures::writeTextFile(tree + QStringLiteral("/.hidden"), "h");
    fixtures::writeTextFile(tree + QStringLiteral("/sub/.hidden-dir/f"), "f");
    ASSERT_TRUE(QFile::link(homePath(QStringLiteral("outside")), tree + QStringLiteral("/dirlink")));
    ASSERT_TRUE(QFile::link(homePath(QStringLiteral("outside/keep.txt")), tree + QStringLiteral("/sub/filelink")));

    EXPECT_TRUE(removeDirRecursive(tree));
    EXPECT_FALSE(QFileInfo::exists(tree));
    EXPECT_TRUE(outsideIntact());
}

TEST_F(RemoveDirTest, PathThatIsALinkLosesOnlyTheLink)
{
    const QString link = homePath(QStringLiteral("link"));
    ASSERT_TRUE(QFile::link(homePath(QStringLiteral("outside")), link));
    EXPECT_TRUE(removeDirRecursive(link));
    EXPECT_FALSE(QFileInfo(link).isSymLink());
    EXPECT_TRUE(outsideIntact());
}

// Records what would have been opened instead of opening it.
class RecordingShell : public ShellHook {
public:
    explicit RecordingShell(QStringList& log) : m_log(log) {}
    bool openUrl(const QUrl& url) override { m_log << QStringLiteral("url ") + url.toString(); return true; }
    bool openLocalPath(const QString& path) override { m_log << QStringLiteral("path ") + path; return true; }

private:
    QStringList& m_log;
};

class ShellTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        setShellHook(std::make_unique<RecordingShell>(m_opened));
    }
    void TearDown() override
    {
        setShellHook(nullptr);
        TempHomeTest::TearDown();
    }
    QStringList m_opened;
};

TEST_F(ShellTest, OpensOnlyWebLinks)
{
    EXPECT_TRUE(openUrl(QStringLiteral("http://example.com/a?b=c")));
    EXPECT_TRUE(openUrl(QStringLiteral("HTTPS://example.com/")));
    for (const char* refused : {"file:///etc/passwd", "javascript:alert(1)", "/etc/passwd", "", "http://", "ftp://x/"})
        EXPECT_FALSE(openUrl(QString::fromUtf8(refused))) << refused;
    EXPECT_EQ(m_opened, QStringList({QStringLiteral("url http://example.com/a?b=c"),
                                     QStringLiteral("url https://example.com/")}));
}

TEST_F(ShellTest, OpenInExplorerPassesAbsolutePath)
{
    const QString oldCwd = QDir::currentPath();
    QDir::setCurrent(homePath());
    EXPECT_TRUE(openInExplorer(QStringLiteral("folder")));
    QDir::setCurrent(oldCwd);
    EXPECT_FALSE(openInExplorer(QString()));
    EXPECT_EQ(m_opened, QStringList(QStringLiteral("path ") + homePath(QStringLiteral("folder"))));
}

}  // namespace

// What the last reference frees goes on a worker: the caller's thread never runs the destructor.
TEST(ReleaseAside, TheLastReferenceIsDroppedOffTheCallersThread)
{
    struct Probe {
        explicit Probe(std::promise<std::thread::id>* promise) : freedOn(promise) {}
        std::promise<std::thread::id>* freedOn;
        ~Probe() { freedOn->set_value(std::this_thread::get_id()); }
    };
    std::promise<std::thread::id> freedOn;
    auto held = std::make_shared<Probe>(&freedOn);
    releaseAside(std::move(held));
    EXPECT_EQ(held, nullptr);
    std::future<std::thread::id> freed = freedOn.get_future();
    ASSERT_EQ(freed.wait_for(std::chrono::seconds(10)), std::future_status::ready);
    EXPECT_NE(freed.get(), std::this_thread::get_id());
}
