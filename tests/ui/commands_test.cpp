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
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/report"), 0).path, QStringLiteral("/o/report.txt"));
    // A typed suffix is kept as it is, and the filter still decides the format.
    const ExportTarget textAsCsvName = exportTargetFor(QStringLiteral("/o/report.csv"), 0);
    EXPECT_EQ(textAsCsvName.path, QStringLiteral("/o/report.csv"));
    EXPECT_EQ(textAsCsvName.format, int(ExportMessagesThread::Text));
    const ExportTarget doc = exportTargetFor(QStringLiteral("/o/report"), 1);
    EXPECT_EQ(doc.path, QStringLiteral("/o/report.doc"));
    EXPECT_EQ(doc.format, int(ExportMessagesThread::Text));
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/report"), 2).path, QStringLiteral("/o/report.csv"));
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/report.txt"), 2).format, int(ExportMessagesThread::Csv));
    const ExportTarget pdf = exportTargetFor(QStringLiteral("/o/my.messages.pdf"), 3);
    EXPECT_EQ(pdf.path, QStringLiteral("/o/my-pdf"));
    EXPECT_EQ(pdf.format, int(ExportMessagesThread::Pdf));
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/messages"), 4).path, QStringLiteral("/o/messages-html"));
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/m"), -1).format, -1);
    EXPECT_EQ(exportTargetFor(QStringLiteral("/o/m"), 5).format, -1);
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
