#pragma once
// A step of a sequence that is too long for the GUI thread (reading a backup's file list, reading a
// whole message database), run as a job under the progress display: the window keeps painting and
// the user can cancel it.
#include <QString>
#include <QThread>

#include <functional>

class FlowPrompts;
class ProgressSink;

class StepJob : public QThread {
public:
    // Asked by the work now and then; true once the user cancelled.
    using Cancelled = std::function<bool()>;
    using Work = std::function<void(const Cancelled& cancelled)>;

    // work runs on the job's thread and stops on a cancel by throwing the plain int -1; an error it
    // throws once the user has cancelled is taken for that stop. status is the step's status line.
    StepJob(ProgressSink* sink, const QString& status, Work work)
        : m_sink(sink), m_status(status), m_work(std::move(work))
    {
    }
    ~StepJob() override { wait(); }

    void run() override;

private:
    ProgressSink* m_sink;  // not owned
    QString m_status;
    Work m_work;
};

// Runs work as a step under a progress display of prompts; its error is shown there. True when it
// succeeded and was not cancelled.
bool runStep(FlowPrompts& prompts, const QString& status, StepJob::Work work);
