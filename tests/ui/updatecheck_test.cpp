#include "core/datadir.h"
#include "fixtures/loopback_http.h"
#include "fixtures/scripted_interaction.h"
#include "fixtures/temp_home.h"
#include "platform/shell.h"
#include "ui/mainwindow.h"
#include "ui/updatecheck.h"

#include <QDateTime>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QTimer>
#include <QUrl>
#include <gtest/gtest.h>

#include <functional>

namespace {

TEST(UpdateCheckRules, OncePerDayAtMost)
{
    const qint64 now = 1700000000;
    EXPECT_FALSE(UpdateCheck::shouldCheck(QByteArray::number(now - 86400), now));
    EXPECT_FALSE(UpdateCheck::shouldCheck(QByteArray::number(now), now));
    EXPECT_FALSE(UpdateCheck::shouldCheck(QByteArray::number(now - 10) + QByteArray("\0junk", 5), now));
    EXPECT_TRUE(UpdateCheck::shouldCheck(QByteArray::number(now - 86401), now));
    EXPECT_TRUE(UpdateCheck::shouldCheck(QByteArray(), now));
    EXPECT_TRUE(UpdateCheck::shouldCheck("yesterday", now));
    EXPECT_TRUE(UpdateCheck::shouldCheck("0", now));
    EXPECT_TRUE(UpdateCheck::shouldCheck(QByteArray::number(now + 3600), now));
}

TEST(UpdateCheckRules, OnlyWebLinksAreDownloadLinks)
{
    EXPECT_EQ(UpdateCheck::downloadUrlFromAnswer("HTTP://x.example/new\r\n"), QStringLiteral("HTTP://x.example/new"));
    EXPECT_EQ(UpdateCheck::downloadUrlFromAnswer("https://x.example/n"), QStringLiteral("https://x.example/n"));
    EXPECT_EQ(UpdateCheck::downloadUrlFromAnswer(QByteArray("http://a.example\0http://b", 24)),
              QStringLiteral("http://a.example"));
    EXPECT_TRUE(UpdateCheck::downloadUrlFromAnswer("no news").isEmpty());
    EXPECT_TRUE(UpdateCheck::downloadUrlFromAnswer("file:///etc/passwd").isEmpty());
    EXPECT_TRUE(UpdateCheck::downloadUrlFromAnswer("javascript:alert(1)").isEmpty());
}

TEST(UpdateCheckRules, AnchorsGetTheLinkColour)
{
    EXPECT_EQ(UpdateCheck::restyleAnchor("<A href=\"http://x\">Deal</A>"),
              QStringLiteral("<a style=\"color:#37789E;text-decoration:none;\" href=\"http://x\">Deal</A>"));
    EXPECT_TRUE(UpdateCheck::restyleAnchor(" <a href=x>y</a>").isEmpty());
    EXPECT_TRUE(UpdateCheck::restyleAnchor("plain").isEmpty());
}

class RecordingShell : public ShellHook {
public:
    explicit RecordingShell(QStringList* urls) : m_urls(urls) {}
    bool openUrl(const QUrl& url) override
    {
        m_urls->append(url.toString());
        return true;
    }
    bool openLocalPath(const QString&) override { return true; }

private:
    QStringList* m_urls;
};

bool waitFor(const std::function<bool()>& done, int timeoutMs = 5000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!done() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return done();
}

class UpdateCheckTest : public TempHomeTest {
protected:
    void SetUp() override
    {
        TempHomeTest::SetUp();
        setShellHook(std::make_unique<RecordingShell>(&opened));
    }
    void TearDown() override
    {
        setShellHook(nullptr);
        TempHomeTest::TearDown();
    }
    QString statePath(DataFile name) const { return dataFilePath(name); }
    QByteArray state(DataFile name) const
    {
        QFile file(statePath(name));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    QStringList opened;
    testing_http::LoopbackHttpServer server;
    fixtures::ScriptedInteraction script;
};

TEST_F(UpdateCheckTest, NewVersionAskedOpenedAndWindowClosed)
{
    server.setResponse("/sms_check_update.php", 200, "HTTP://dl.example/new.tar.gz\n");
    server.setResponse("/adv.php", 200, "<A href=\"http://deal.example\">Deal</A>");
    testing_http::ScopedWebHost host(server.baseUrl());
    script.answerBox(QMessageBox::Yes);
    const qint64 before = QDateTime::currentSecsSinceEpoch();
    MainWindow window;
    window.show();
    ASSERT_TRUE(waitFor([&] { return !state(DataFile::StatusLink).isEmpty() && !window.isVisible(); }));

    ASSERT_EQ(server.requests().size(), 2u);
    EXPECT_GE(state(DataFile::UpdateCheckTime).toLongLong(), before);
    ASSERT_EQ(script.boxes().size(), 1u);
    EXPECT_EQ(script.boxes().front().icon, QMessageBox::Question);
    EXPECT_TRUE(script.boxes().front().text.startsWith(QLatin1String("A new version of ")));
    EXPECT_EQ(opened, QStringList{QStringLiteral("http://dl.example/new.tar.gz")});
    const QByteArray styled = "<a style=\"color:#37789E;text-decoration:none;\" href=\"http://deal.example\">Deal</A>";
    EXPECT_EQ(state(DataFile::StatusLink), styled);
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text(), QString::fromUtf8(styled));
}

TEST_F(UpdateCheckTest, FailedAnswerStillCountsAsTodaysCheck)
{
    server.setResponse("/sms_check_update.php", 404, "http://dl.example/new");
    server.setResponse("/adv.php", 404, "<a href=\"http://x\">x</a>");
    testing_http::ScopedWebHost host(server.baseUrl());
    MainWindow window;
    ASSERT_TRUE(waitFor([&] { return !state(DataFile::UpdateCheckTime).isEmpty(); }));
    waitFor([&] { return false; }, 200);  // let the second answer arrive
    EXPECT_TRUE(script.boxes().empty());
    EXPECT_TRUE(opened.isEmpty());
    EXPECT_FALSE(QFile::exists(statePath(DataFile::StatusLink)));
}

TEST_F(UpdateCheckTest, RecentCheckSendsNothingAndShowsTheStoredLink)
{
    QFile time(statePath(DataFile::UpdateCheckTime));
    ASSERT_TRUE(time.open(QIODevice::WriteOnly));
    time.write(QByteArray::number(QDateTime::currentSecsSinceEpoch() - 60));
    time.close();
    QFile link(statePath(DataFile::StatusLink));
    ASSERT_TRUE(link.open(QIODevice::WriteOnly));
    link.write("<a href=\"http://x\">kept</a>");
    link.close();
    testing_http::ScopedWebHost host(server.baseUrl());
    MainWindow window;
    EXPECT_FALSE(server.waitForRequest(300));
    EXPECT_EQ(window.findChild<QLabel*>(QStringLiteral("statusLabel"))->text(),
              QStringLiteral("<a href=\"http://x\">kept</a>"));
}

TEST_F(UpdateCheckTest, CheckForUpdateOpensThePageOrSaysThereIsNone)
{
    {
        testing_http::ScopedWebHost host(server.baseUrl());
        MainWindow window;
        opened.clear();
        window.miCheckUpdate();
        ASSERT_EQ(opened.size(), 1);
        EXPECT_EQ(opened.front(), server.baseUrl()
                                      + QStringLiteral("/sms_check_update.php?pid=5F2C9A0E7D3B4E6A9C1F08B2D4E6A7C3"
                                                       "&ver=31&vs=123456"));
    }
    testing_http::ScopedWebHost none(QString{});
    MainWindow window;
    script.clear();
    window.miCheckUpdate();
    EXPECT_EQ(opened.size(), 1);
    ASSERT_EQ(script.boxes().size(), 1u);
    EXPECT_EQ(script.boxes().front().icon, QMessageBox::Information);
}

}  // namespace
