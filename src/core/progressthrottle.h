#pragma once
// How jobs keep their progress posts few. Every post is a queued call into the GUI thread; a job that
// posted once per message would keep the dialog busy long after its work had ended.
#include "core/progresssink.h"

#include <QString>

#include <chrono>
#include <optional>

// One post of a job, and what two posts in a row come to when only the result is shown.
struct ProgressUpdate {
    QString status;     // empty: keep the shown one
    int progress = -1;  // < 0: keep the bar
    QString text;       // empty: the default "Progress:n%"

    // What showing this update and then later shows. A progress the bar ignores (above 100) is not
    // kept for a later update that keeps the bar.
    void merge(const ProgressUpdate& later);
};

// Decides when a job posts: for counted work at the first unit, the last unit and whenever the
// percentage shown changes, else at most every kInterval; for work without a count, at most every
// kInterval (the first call at once). The job builds its counter text only when a post is due.
class ProgressThrottle {
public:
    static constexpr std::chrono::milliseconds kInterval{50};

    // The percentage of done units is int(double(done) / total * scale), as the jobs show it.
    explicit ProgressThrottle(qint64 total = 0, int scale = 100) : m_total(total), m_scale(scale) {}

    // For unit done (counted from 1) of total.
    bool due(qint64 done);
    // The percentage of the unit last found due.
    int percent() const { return m_shown; }
    // For work without a count.
    bool dueNow();

private:
    using Clock = std::chrono::steady_clock;

    qint64 m_total;
    int m_scale;
    int m_shown = -1;
    std::optional<Clock::time_point> m_lastPost;
};

// A sink in front of another for work without a count (files of a tree, blocks of a stream): it
// passes progress at most every kInterval and holds what it skipped; the final reports, and flush(),
// first pass what it holds, so the last state posted is the last state shown. For one job's thread.
class ThrottledSink : public ProgressSink {
public:
    explicit ThrottledSink(ProgressSink* sink) : m_sink(sink) {}

    using ProgressSink::isCancelled;
    using ProgressSink::postError;
    using ProgressSink::postSucceed;
    using ProgressSink::postUpdateProgress;
    void postUpdateProgress(const QString& status, int curProgress, const QString& progressText) override;
    void postError(const QString& text) override;
    void postSucceed(const QString& text) override;
    bool isCancelled() const override { return ProgressSink::isCancelled(m_sink); }
    void postNotCancellable() override { ProgressSink::postNotCancellable(m_sink); }

    void flush();

private:
    ProgressSink* m_sink;  // not owned; may be null
    ProgressThrottle m_throttle;
    std::optional<ProgressUpdate> m_held;
};
