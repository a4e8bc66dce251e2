#pragma once
// The modal, frameless progress dialog that every long job reports into.
//
// The command that runs a job:
//   ProgressForm form(firstStatus, mainWindow);
//   Job job(&form, ...);                       // the job holds it as a ProgressSink*
//   job.start(QThread::InheritPriority);
//   const int result = form.exec();
//   job.wait();                                // no time limit; the job polls isCancelled()
//   if (result == QDialog::Accepted && !form.isCancelled()) refresh();
// The dialog outlives the job's thread, so a job never posts to a destroyed dialog. After an error and
// after a cancel, exec() returns 0 and isCancelled() is true: callers treat both as "not done".
#include "core/progressthrottle.h"
#include "ui/winmovable.h"

#include <QDialog>

#include <atomic>
#include <mutex>
#include <optional>

class QLabel;
class QProgressBar;
class QPushButton;

class ProgressForm : public QDialog, public ProgressSink {
    Q_OBJECT
public:
    explicit ProgressForm(const QString& title, QWidget* parent = nullptr);
    ~ProgressForm() override;

    // Without the button only the job's own report ends the dialog.
    void setCancelEnabled(bool enabled);

    // ProgressSink, callable from any thread; each returns at once (and acts at once on the GUI thread).
    // Progress is kept as the latest update, with at most one call queued to show it: a flood of
    // updates costs the GUI thread one relay, never a backlog. The final reports show the latest
    // update before they end the dialog.
    using ProgressSink::isCancelled;
    using ProgressSink::postError;
    using ProgressSink::postSucceed;
    using ProgressSink::postUpdateProgress;
    void postUpdateProgress(const QString& status, int curProgress, const QString& progressText) override;
    void postError(const QString& text) override;
    void postSucceed(const QString& text) override;
    // True once the dialog finished with 0 (cancel or error), or the user pressed Cancel.
    bool isCancelled() const override { return m_cancelled.load(); }
    // Disables the cancel button; a press that came first still cancels.
    void postNotCancellable() override;

    // Shows an information box from a job without ending the dialog; isWaiting() until it is closed.
    void postTipsWait(const QString& text);
    bool isWaiting() const { return m_waiting.load(); }

    // Enter, Escape and close requests do not end the dialog: only the job or the cancel button do.
    void accept() override {}
    void reject() override {}

signals:
    // Emitted on the GUI thread when the user cancels, before the dialog closes; owners connect it to
    // whatever can abort blocking work.
    void userCacel();

public slots:
    // The same as postUpdateProgress.
    void updateProgress(const QString& status, int curProgress, const QString& progressText);
    void errorOccurred(const QString& err);
    void succeed(const QString& tipsStr);
    void onFinish(int result);
    void tipsWait(const QString& info);
    void cancel();

private:
    void buildForm();
    // Shows the latest update, if one is waiting; on the GUI thread.
    void relayProgress();
    void showProgress(const ProgressUpdate& update);
    bool hasFinished() const { return m_finished; }

    std::atomic<bool> m_cancelled{false};
    std::atomic<bool> m_waiting{false};
    // Set by the job's final post: from then on the dialog waits for that report, and a late press of
    // Cancel can no longer turn a finished job into a failed one.
    std::atomic<bool> m_reportPosted{false};
    bool m_finished = false;
    // A press of Cancel and the job's postNotCancellable decide under it which came first.
    std::mutex m_cancelMutex;
    bool m_cancellable = true;
    std::mutex m_pendingMutex;  // guards the two below
    std::optional<ProgressUpdate> m_pending;
    bool m_relayQueued = false;
    WinMovable m_mover;
    static void setElidedText(QLabel* label, const QString& text);

    QLabel* m_lbStatus = nullptr;  // children of the dialog
    QProgressBar* m_progressBar = nullptr;
    QLabel* m_lbProgress = nullptr;
    QPushButton* m_btnCancel = nullptr;
};
