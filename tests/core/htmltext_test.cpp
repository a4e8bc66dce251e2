#include "core/assetdir.h"
#include "core/htmltext.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>

#include <gtest/gtest.h>

TEST(EscapeHtmlWithEmoji, EscapesMarkupAndLineBreaks)
{
    EXPECT_EQ(escapeHtmlWithEmoji("a < b && c > d"), "a &lt; b &amp;&amp; c &gt; d");
    EXPECT_EQ(escapeHtmlWithEmoji("&lt;"), "&amp;lt;");
    EXPECT_EQ(escapeHtmlWithEmoji("one\r\ntwo\nthree\rfour"), "one<br/>two<br/>three\rfour");
    EXPECT_EQ(escapeHtmlWithEmoji("\r\r\n"), "\r<br/>");
    EXPECT_EQ(escapeHtmlWithEmoji("say \"hi\" '%1'"), "say \"hi\" '%1'");
    EXPECT_EQ(escapeHtmlWithEmoji("<script>alert(1)</script>"), "&lt;script&gt;alert(1)&lt;/script&gt;");
}

TEST(EscapeHtmlWithEmoji, ReplacesEmojiAfterEscaping)
{
    const QString smile = QString::fromUcs4(U"\U0001F604");
    EXPECT_EQ(escapeHtmlWithEmoji(QChar(0xE415) + QStringLiteral("<") + smile),
              "<img src=\"emoji/E415.png\" />&lt;<img src=\"emoji/1F604.png\" />");
    EXPECT_EQ(escapeHtmlWithEmoji(QString(QChar(0x2934))), "<img src=\"emoji/2934.png\" />");
    // A high surrogate without its pair is kept as it is.
    EXPECT_EQ(escapeHtmlWithEmoji(QString(QChar(0xD83D)) + "x"), QString(QChar(0xD83D)) + "x");
}

TEST(AssetResolver, PrefersTheProgramFolderThenTheInstalledShareFolder)
{
    const QString programDir = QCoreApplication::applicationDirPath();
    const QString name = QStringLiteral("asset-probe-%1").arg(QCoreApplication::applicationPid());
    const QString installed = QDir::cleanPath(programDir + "/../share/tallowmere");

    EXPECT_EQ(assetRoot(name), programDir);  // neither exists: beside the program
    ASSERT_TRUE(QDir().mkpath(installed + "/" + name));
    EXPECT_EQ(assetRoot(name), installed);
    EXPECT_EQ(assetPath(name + "/x.png"), installed + "/" + name + "/x.png");
    ASSERT_TRUE(QDir().mkpath(programDir + "/" + name));
    EXPECT_EQ(assetRoot(name), programDir);

    QDir(programDir + "/" + name).removeRecursively();
    QDir(installed + "/" + name).removeRecursively();
    QDir().rmdir(installed);
    QDir().rmdir(QDir::cleanPath(installed + "/.."));
}
