#include "flows/stepjob.h"

#include "core/jobguard.h"
#include "flows/flowprompts.h"

void StepJob::run()
{
    ProgressSink::postUpdateProgress(m_sink, m_status, 0, QString());
    const Cancelled cancelled = [sink = m_sink] { return ProgressSink::isCancelled(sink); };
    runGuarded(
        m_sink,
        [&] {
            try {
                m_work(cancelled);
            } catch (const std::exception& error) {
                if (cancelled())
                    throw -1;  // a read stopped by the cancel reports that stop as an error
                qWarning("%s", error.what());
                throw;
            }
            if (cancelled())
                throw -1;
            ProgressSink::postSucceed(m_sink, QString());
        },
        [] {});
}

bool runStep(FlowPrompts& prompts, const QString& status, StepJob::Work work)
{
    const std::unique_ptr<ProgressSink> progress = prompts.progress();
    StepJob job(progress.get(), status, std::move(work));
    return prompts.runJob(*progress, job);
}
