#include "core/progressthrottle.h"

void ProgressUpdate::merge(const ProgressUpdate& later)
{
    if (!later.status.isEmpty())
        status = later.status;
    if (later.progress >= 0)
        progress = later.progress;
    else if (progress > 100)
        progress = -1;  // the bar never took it
    text = later.text;
}

bool ProgressThrottle::due(qint64 done)
{
    const int percent = m_total > 0 ? int(double(done) / double(m_total) * m_scale) : 0;
    const bool last = m_total > 0 && done >= m_total;
    if (!last && percent == m_shown && !dueNow())
        return false;
    m_shown = percent;
    m_lastPost = Clock::now();
    return true;
}

bool ProgressThrottle::dueNow()
{
    const Clock::time_point now = Clock::now();
    if (m_lastPost && now - *m_lastPost < kInterval)
        return false;
    m_lastPost = now;
    return true;
}

void ThrottledSink::postUpdateProgress(const QString& status, int curProgress, const QString& progressText)
{
    const ProgressUpdate update{status, curProgress, progressText};
    if (m_held)
        m_held->merge(update);
    else
        m_held = update;
    if (m_throttle.dueNow())
        flush();
}

void ThrottledSink::flush()
{
    if (!m_held)
        return;
    const ProgressUpdate update = std::move(*m_held);
    m_held.reset();
    ProgressSink::postUpdateProgress(m_sink, update.status, update.progress, update.text);
}

void ThrottledSink::postError(const QString& text)
{
    flush();
    ProgressSink::postError(m_sink, text);
}

void ThrottledSink::postSucceed(const QString& text)
{
    flush();
    ProgressSink::postSucceed(m_sink, text);
}
