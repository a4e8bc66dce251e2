#pragma once
// How a job reports: progress, one final error or success, and whether the user cancelled. ProgressForm
// implements it on top of its dialog; tests use a recording sink without any widget.
//
// A job's run():
//   1. post its first status;
//   2. work in units, and before each unit check isCancelled(); when set, throw the plain int -1;
//   3. post progress as units complete;
//   4. end with exactly one of postSucceed(text), postError(message) (catching std::exception), or
//      nothing when -1 was caught: the dialog has already closed. runGuarded (core/jobguard.h) does
//      the catching.
// Every call returns at once and may come from any thread. A job never blocks on the GUI thread (no
// Qt::BlockingQueuedConnection) and never creates widgets or QPixmap (QImage is fine): after a cancel
// the GUI thread waits for the job's thread, so either would deadlock.
#include <QString>

class ProgressSink {
public:
    virtual ~ProgressSink() = default;

    // A non-empty status replaces the status line; curProgress < 0 keeps the bar where it is; an empty
    // progressText shows the default "Progress:n%".
    virtual void postUpdateProgress(const QString& status, int curProgress, const QString& progressText) = 0;
    // Rich text; parts taken from data are HTML-escaped by the job (htmlEscape).
    virtual void postError(const QString& text) = 0;
    // An empty text ends without a message.
    virtual void postSucceed(const QString& text) = 0;
    virtual bool isCancelled() const = 0;
    // From here on the job finishes what it started (a commit made, files to follow): the user is no
    // longer offered a cancel. A cancel that came first still counts, so the job looks at
    // isCancelled() once more after this post before it commits.
    virtual void postNotCancellable() {}

    // The same calls through a sink pointer, as jobs hold it; a null sink ignores them.
    static void postUpdateProgress(ProgressSink* sink, const QString& status, int curProgress,
                                   const QString& progressText)
    {
        if (sink)
            sink->postUpdateProgress(status, curProgress, progressText);
    }
    static void postError(ProgressSink* sink, const QString& text)
    {
        if (sink)
            sink->postError(text);
    }
    static void postSucceed(ProgressSink* sink, const QString& text)
    {
        if (sink)
            sink->postSucceed(text);
    }
    static void postNotCancellable(ProgressSink* sink)
    {
        if (sink)
            sink->postNotCancellable();
    }
    static bool isCancelled(const ProgressSink* sink) { return sink && sink->isCancelled(); }
};
