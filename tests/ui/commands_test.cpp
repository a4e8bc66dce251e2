// The scope rule of the message commands, the export target chosen from a file name, and the job
// runner: success only after the job's own success report, a cancel never counts, and the job's
// thread has always finished when runJob returns.
#include "export/exportmessagesthread.h"
#include "fixtures/scripted_interaction.h"
#include "ui/itemmodelmain.h"
#include "ui/jobrunner.h"
#include "ui/progressform.h"

#include <QThread>
#include <QTimer>
#include <gtest/gtest.h>

#include <atomic>

namespace {

using Node = AbsTreeItemModel::_ItemNode;

// Reports success or error at once, or waits for the cancel flag and then lingers a little.
class FakeJob : public QThread {
public:
    enum Outcome { Succeed, Fail, WaitForCancel };
    FakeJob(ProgressForm* form, Outcome outcome) : m_form(form), m_outcome(outcome) {}
    std::atomic<bool> finishedWork{false};

protected:
    void run() override
    {
        if (m_outcome == Succeed)
            m_form->postSucceed(QString());
        else if (m_outcome == Fail)
            m_form->postError(QStringLiteral("failed"));
        else {
            while (!m_form->isCancelled())
                msleep(5);
            msleep(50);
        }
        finishedWork = true;
    }

private:
    ProgressForm* m_form;
    Outcome m_outcome;
};

}  // namespace

TEST(CommandScope, SelectionBeatsNodeAndNodesPickChatOrAll)
{
    Node database(kNodeLocalDb, QStringLiteral("db"), nullptr);
    Node chat(kNodeChatSession, QStringLiteral("chat"), &database);
    Node device(kNodeIOSDevice, QStringLiteral("phone"), nullptr);
    const struct {
        bool selection;
        const Node* current;
        CommandScope expected;
    } cases[] = {
        {true, &chat, CommandScope::Selection}, {true, nullptr, CommandScope::Selection},
        {false, nullptr, CommandScope::None},   {false, &chat, CommandScope::Chat},
        {false, &database, CommandScope::All},  {false, &device, CommandScope::All},
    };
    for (const auto& c : cases)
        EXPECT_EQ(commandScope(c.selection, c.current), c.expected) << c.selection << " " << c.current;
}

TEST(ExportTarget, TheSelectedFilterPicksTheFormatAndPageFormatsGetAFolder)
{
    const int text = ExportMessagesThread::Text;
    const struct {
        const char* name;
        int filter;  // Text, Doc, CSV, PDF, HTML
        const char* path;
        int format;
    } cases[] = {
        {"/o/report", 0, "/o/report.txt", text},
        {"/o/report.csv", 0, "/o/report.csv", text},  // a typed suffix stays; the filter decides
        {"/o/report", 1, "/o/report.doc", text},
        {"/o/report.doc", 1, "/o/report.doc", text},
        {"/o/report", 2, "/o/report.csv", ExportMessagesThread::Csv},
        {"/o/report.txt", 2, "/o/report.txt", ExportMessagesThread::Csv},
        {"/o/my.messages.pdf", 3, "/o/my-pdf", ExportMessagesThread::Pdf},
        {"/o/messages", 3, "/o/messages-pdf", ExportMessagesThread::Pdf},
        {"/o/page.html", 4, "/o/page-html", ExportMessagesThread::Html},
        {"/o/messages", 4, "/o/messages-html", ExportMessagesThread::Html},
        {"/o/m", -1, "", -1},
        {"/o/m", 5, "", -1},
    };
    for (const auto& c : cases) {
        const ExportTarget target = exportTargetFor(QString::fromUtf8(c.name), c.filter);
        EXPECT_EQ(target.path, QString::fromUtf8(c.path)) << c.name << " " << c.filter;
        EXPECT_EQ(target.format, c.format) << c.name << " " << c.filter;
    }
}

TEST(RunJob, OnlyASuccessReportCountsAndTheThreadHasEnded)
{
    {
        ProgressForm form{QString()};
        FakeJob job(&form, FakeJob::Succeed);
        EXPECT_TRUE(runJob(form, job));
        EXPECT_TRUE(job.isFinished());
    }
    {
        ProgressForm form{QString()};
        FakeJob job(&form, FakeJob::Fail);
        fixtures::ScriptedInteraction script;  // answers the error box
        EXPECT_FALSE(runJob(form, job));
    }
    {
        ProgressForm form{QString()};
        FakeJob job(&form, FakeJob::WaitForCancel);
        QTimer::singleShot(20, &form, &ProgressForm::cancel);
        EXPECT_FALSE(runJob(form, job));
        EXPECT_TRUE(job.finishedWork);  // waited for, though it went on after the cancel
    }
}
