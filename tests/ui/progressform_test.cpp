#include "ui/progressform.h"

#include "fixtures/loopback_http.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/scripted_interaction.h"
#include "ui/jobrunner.h"
#include "ui/messagebox.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QThread>
#include <QTimer>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <stdexcept>
#include <thread>

namespace {

// The smallest job that follows the protocol: report, work in units, check for cancel before each
// unit, and end with exactly one final report (none after a cancel).
class ExampleJob : public QThread {
public:
    enum class Outcome { Succeed, Fail, RunUntilCancelled };

    ExampleJob(ProgressSink* sink, Outcome outcome) : m_sink(sink), m_outcome(outcome) {}

    std::atomic<bool> sawCancel{false};
    std::atomic<int> unitsDone{0};

protected:
    void run() override
    {
        try {
            ProgressForm::postUpdateProgress(m_sink, QStringLiteral("Working..."), 0, QString());
            const int units = m_outcome == Outcome::RunUntilCancelled ? 100000 : 5;
            for (int unit = 0; unit < units; ++unit) {
                if (ProgressSink::isCancelled(m_sink))
                    throw -1;
                doUnit(unit);
                ProgressSink::postUpdateProgress(m_sink, QString(), progressAfter(unit, units), QString());
            }
            if (m_outcome == Outcome::RunUntilCancelled)
                throw std::runtime_error("the job was never cancelled");
            ProgressSink::postSucceed(m_sink, QString());
        } catch (const std::exception& error) {
            ProgressSink::postError(m_sink, htmlEscape(QString::fromUtf8(error.what())));
        } catch (int code) {
            sawCancel = code == -1;
        }
    }

private:
    // A job that cannot know its total keeps the bar moving round.
    int progressAfter(int unit, int units) const
    {
        return m_outcome == Outcome::RunUntilCancelled ? (unit + 1) % 101 : (unit + 1) * 100 / units;
    }

    void doUnit(int unit)
    {
        if (m_outcome == Outcome::Fail && unit == 2)
            throw std::runtime_error("cannot open <sms.db>");
        if (m_outcome == Outcome::RunUntilCancelled)
            QThread::msleep(1);
        ++unitsDone;
    }

    ProgressSink* m_sink;
    Outcome m_outcome;
};

class ProgressFormTest : public ::testing::Test {
protected:
    testing_http::ScopedWebHost m_noHost{QString()};
    fixtures::ScriptedInteraction m_script;

    // The command side: start, exec, wait.
    static int runJob(ProgressForm& form, ExampleJob& job)
    {
        job.start(QThread::InheritPriority);
        const int result = form.exec();
        EXPECT_TRUE(job.wait(10000));
        return result;
    }
};

TEST_F(ProgressFormTest, JobThatSucceedsEndsAccepted)
{
    ProgressForm form(QStringLiteral("Loading"));
    ExampleJob job(&form, ExampleJob::Outcome::Succeed);
    EXPECT_EQ(runJob(form, job), int(QDialog::Accepted));
    EXPECT_FALSE(form.isCancelled());
    EXPECT_EQ(job.unitsDone, 5);
    EXPECT_TRUE(m_script.boxes().empty());
    EXPECT_EQ(form.findChild<QLabel*>(QStringLiteral("lbStatus"))->text(), QStringLiteral("Working..."));
}

TEST_F(ProgressFormTest, SuccessTextIsShownAsInformation)
{
    ProgressForm form{QString()};
    QTimer::singleShot(0, [&form] { ProgressSink::postSucceed(&form, QStringLiteral("3 messages exported")); });
    EXPECT_EQ(form.exec(), int(QDialog::Accepted));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Information), QStringList{QStringLiteral("3 messages exported")});
}

TEST_F(ProgressFormTest, JobErrorIsShownEscapedAndEndsRejected)
{
    ProgressForm form(QStringLiteral("Loading"));
    ExampleJob job(&form, ExampleJob::Outcome::Fail);
    EXPECT_EQ(runJob(form, job), int(QDialog::Rejected));
    EXPECT_TRUE(form.isCancelled());
    EXPECT_FALSE(job.sawCancel);
    const QStringList errors = m_script.boxTexts(QMessageBox::Critical);
    ASSERT_EQ(errors.size(), 1);
    EXPECT_TRUE(errors[0].contains(QStringLiteral("cannot open &lt;sms.db&gt;")));
}

TEST_F(ProgressFormTest, CancelIsSeenByTheJobAndEndsRejected)
{
    ProgressForm form(QStringLiteral("Copying"));
    QSignalSpy userCancels(&form, &ProgressForm::userCacel);
    ExampleJob job(&form, ExampleJob::Outcome::RunUntilCancelled);
    // Press Cancel once the job has shown its first progress.
    QObject::connect(form.findChild<QProgressBar*>(QStringLiteral("progressBar")), &QProgressBar::valueChanged,
                     &form, [&form] { form.findChild<QPushButton*>(QStringLiteral("btnCancel"))->click(); });

    EXPECT_EQ(runJob(form, job), int(QDialog::Rejected));
    EXPECT_TRUE(form.isCancelled());
    EXPECT_TRUE(job.sawCancel);
    EXPECT_EQ(userCancels.count(), 1);
    EXPECT_TRUE(m_script.boxes().empty());
}

TEST_F(ProgressFormTest, LateCancelCannotFailAFinishedJob)
{
    ProgressForm form(QStringLiteral("Saving"));
    QSignalSpy userCancels(&form, &ProgressForm::userCacel);
    ExampleJob job(&form, ExampleJob::Outcome::Succeed);
    job.start();
    ASSERT_TRUE(job.wait(10000));  // its success report is still queued
    form.cancel();                 // the user presses Cancel just before it arrives
    EXPECT_EQ(userCancels.count(), 0);
    EXPECT_EQ(form.exec(), int(QDialog::Accepted));
    EXPECT_FALSE(form.isCancelled());
}

// A job past its commit takes the cancel away; a press that came first still cancels it.
TEST_F(ProgressFormTest, AJobThatCanNoLongerStopTakesTheCancelAway)
{
    for (const bool pressedFirst : {false, true}) {
        ProgressForm form(QStringLiteral("Deleting"));
        QSignalSpy userCancels(&form, &ProgressForm::userCacel);
        if (pressedFirst)
            form.cancel();
        std::thread([&form] { form.postNotCancellable(); }).join();
        QCoreApplication::processEvents();
        EXPECT_EQ(form.findChild<QPushButton*>(QStringLiteral("btnCancel"))->isEnabled(), pressedFirst);
        form.cancel();
        EXPECT_EQ(form.isCancelled(), pressedFirst);
        EXPECT_EQ(userCancels.count(), pressedFirst ? 1 : 0);
    }
}

TEST_F(ProgressFormTest, ReportAfterCancelIsDropped)
{
    ProgressForm form(QStringLiteral("Saving"));
    form.cancel();
    ASSERT_TRUE(form.isCancelled());
    form.succeed(QStringLiteral("done"));
    form.errorOccurred(QStringLiteral("late"));
    EXPECT_TRUE(form.isCancelled());
    EXPECT_TRUE(m_script.boxes().empty());
}

// Counts the queued calls the GUI thread runs for an object.
class QueuedCallCounter : public QObject {
public:
    int calls = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        calls += event->type() == QEvent::MetaCall;
        return false;
    }
};

TEST_F(ProgressFormTest, AFloodOfUpdatesCostsOneRelayAndEndsInItsLastStateBeforeTheSuccess)
{
    ProgressForm form(QStringLiteral("Exporting"));
    QueuedCallCounter counter;
    form.installEventFilter(&counter);
    const int n = 100000;
    const std::unique_ptr<QThread> job(QThread::create([&form] {
        for (int i = 1; i <= n; ++i)
            form.postUpdateProgress(QString(), i * 100 / n, QStringLiteral("Messages: %1/%2").arg(i).arg(n));
        form.postSucceed(QStringLiteral("exported"));
    }));
    job->start();
    ASSERT_TRUE(job->wait(30000));  // all of it is queued before the dialog runs
    QString shownWithTheSuccess;
    QObject::connect(&form, &QDialog::finished, &form, [&form, &shownWithTheSuccess] {
        shownWithTheSuccess = form.findChild<QLabel*>(QStringLiteral("lbProgress"))->text();
    });
    EXPECT_EQ(form.exec(), int(QDialog::Accepted));
    EXPECT_EQ(counter.calls, 2);  // one relay, one success
    EXPECT_EQ(shownWithTheSuccess, QStringLiteral("Messages: 100000/100000"));
    EXPECT_EQ(form.findChild<QProgressBar*>(QStringLiteral("progressBar"))->value(), 100);
    EXPECT_EQ(form.findChild<QLabel*>(QStringLiteral("lbStatus"))->text(), QStringLiteral("Exporting"));
    EXPECT_EQ(m_script.boxTexts(QMessageBox::Information), QStringList{QStringLiteral("exported")});
}

TEST_F(ProgressFormTest, UpdateProgressKeepsWhatIsNotGiven)
{
    ProgressForm form(QStringLiteral("Start"));
    auto* status = form.findChild<QLabel*>(QStringLiteral("lbStatus"));
    auto* bar = form.findChild<QProgressBar*>(QStringLiteral("progressBar"));
    auto* text = form.findChild<QLabel*>(QStringLiteral("lbProgress"));

    form.updateProgress(QStringLiteral("Step"), 40, QStringLiteral("4 of 10"));
    form.updateProgress(QString(), -1, QString());
    EXPECT_EQ(status->text(), QStringLiteral("Step"));
    EXPECT_EQ(bar->value(), 40);
    EXPECT_EQ(text->text(), QStringLiteral("Progress:40%"));

    form.updateProgress(QStringLiteral("Beyond"), 150, QString());
    EXPECT_EQ(status->text(), QStringLiteral("Beyond"));
    EXPECT_EQ(bar->value(), 40);
    EXPECT_EQ(text->text(), QStringLiteral("Progress:150%"));

    // Statuses carry file names from backups: shown as typed, never as markup, and a long one is cut in
    // the middle to fit, whole in the tool tip.
    EXPECT_EQ(status->textFormat(), Qt::PlainText);
    EXPECT_EQ(text->textFormat(), Qt::PlainText);
    const QString path = QStringLiteral("Copying HomeDomain/") + QString(300, QLatin1Char('x')) + QStringLiteral("/sms.db");
    form.updateProgress(path, 50, QString());
    EXPECT_LE(status->fontMetrics().horizontalAdvance(status->text()), status->width());
    EXPECT_TRUE(status->text().endsWith(QStringLiteral("sms.db")));
    EXPECT_EQ(status->toolTip(), path);
}

TEST_F(ProgressFormTest, OnlyTheJobOrTheCancelButtonEndTheDialog)
{
    ProgressForm form(QStringLiteral("Upgrading"));
    EXPECT_TRUE(form.windowFlags().testFlag(Qt::FramelessWindowHint));
    EXPECT_EQ(form.size(), QSize(350, 122));
    form.show();
    QTest::keyClick(&form, Qt::Key_Escape);
    QTest::keyClick(&form, Qt::Key_Return);
    form.close();
    EXPECT_TRUE(form.isVisible());

    form.setCancelEnabled(false);
    QTest::mouseClick(form.findChild<QPushButton*>(QStringLiteral("btnCancel")), Qt::LeftButton);
    EXPECT_TRUE(form.isVisible());
    EXPECT_FALSE(form.isCancelled());
    form.succeed(QString());
    EXPECT_FALSE(form.isVisible());
}

// A job that winds down slowly after a cancel (a rollback, a removal) must not freeze the window: the
// command waits for it with the event loop turning.
TEST_F(ProgressFormTest, TheWindowKeepsTurningWhileACancelledJobWindsDown)
{
    ProgressForm form(QStringLiteral("Copying"));
    std::atomic<bool> turned{false};
    std::atomic<bool> sawTurn{false};
    const std::unique_ptr<QThread> job(QThread::create([&] {
        while (!form.isCancelled())
            QThread::msleep(1);
        QMetaObject::invokeMethod(&form, [&turned] { turned = true; }, Qt::QueuedConnection);
        for (int waited = 0; waited < 5000 && !turned; ++waited)
            QThread::msleep(1);
        sawTurn = turned.load();
    }));
    QTimer::singleShot(0, &form, &ProgressForm::cancel);
    EXPECT_FALSE(::runJob(form, *job));
    EXPECT_TRUE(sawTurn);
}

TEST(ExampleJobWithoutDialog, RecordsTheProtocol)
{
    fixtures::RecordingProgressSink finished;
    ExampleJob succeeding(&finished, ExampleJob::Outcome::Succeed);
    succeeding.start();
    ASSERT_TRUE(succeeding.wait(10000));
    ASSERT_EQ(finished.updates().size(), 6u);
    EXPECT_EQ(finished.updates().front().status, QStringLiteral("Working..."));
    EXPECT_EQ(finished.updates().back().progress, 100);
    EXPECT_EQ(finished.successes(), QStringList{QString()});
    EXPECT_EQ(finished.finalReports(), 1);

    fixtures::RecordingProgressSink cancelling(3);
    ExampleJob cancelled(&cancelling, ExampleJob::Outcome::RunUntilCancelled);
    cancelled.start();
    ASSERT_TRUE(cancelled.wait(10000));
    EXPECT_TRUE(cancelled.sawCancel);
    EXPECT_EQ(cancelling.finalReports(), 0);
    EXPECT_EQ(cancelled.unitsDone, 2);
}

}  // namespace
