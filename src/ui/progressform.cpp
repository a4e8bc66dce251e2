#include "ui/progressform.h"

#include "ui/messagebox.h"

#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QThread>

ProgressForm::ProgressForm(const QString& title, QWidget* parent) : QDialog(parent), m_mover(this)
{
    buildForm();
    QMetaObject::connectSlotsByName(this);
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    connect(this, &QDialog::finished, this, &ProgressForm::onFinish);
    connect(m_btnCancel, &QPushButton::pressed, this, &ProgressForm::cancel);
    setWindowTitle(title);
    setElidedText(m_lbStatus, title);
}

ProgressForm::~ProgressForm() = default;

void ProgressForm::setElidedText(QLabel* label, const QString& text)
{
    // Statuses carry file paths of any length; the dialog keeps its size, so a long one loses its
    // middle on screen and stays whole in the tool tip.
    const QString shown = label->fontMetrics().elidedText(text, Qt::ElideMiddle, label->width());
    label->setText(shown);
    label->setToolTip(shown == text ? QString() : text);
}

void ProgressForm::buildForm()
{
    setObjectName(QStringLiteral("ProgressForm"));
    setFixedSize(350, 122);

    m_lbStatus = new QLabel(this);
    m_lbStatus->setObjectName(QStringLiteral("lbStatus"));
    m_lbStatus->setGeometry(20, 20, 311, qMax(16, m_lbStatus->fontMetrics().height() + 2));
    m_lbStatus->setTextFormat(Qt::PlainText);  // jobs put file names from backups here

    m_progressBar = new QProgressBar(this);
    m_progressBar->setObjectName(QStringLiteral("progressBar"));
    m_progressBar->setGeometry(20, 40, 321, 23);
    m_progressBar->setRange(0, 100);
    m_progressBar->setValue(0);
    m_progressBar->setTextVisible(true);
    m_progressBar->setOrientation(Qt::Horizontal);

    m_lbProgress = new QLabel(this);
    m_lbProgress->setObjectName(QStringLiteral("lbProgress"));
    m_lbProgress->setGeometry(25, 70, 281, qMax(20, m_lbProgress->fontMetrics().height() + 2));
    m_lbProgress->setAlignment(Qt::AlignCenter);
    m_lbProgress->setTextFormat(Qt::PlainText);

    m_btnCancel = new QPushButton(tr("Cancel"), this);
    m_btnCancel->setObjectName(QStringLiteral("btnCancel"));
    m_btnCancel->setGeometry(130, 90, 75, 23);
    // A dialog's buttons are auto-default, so Enter would cancel the job; only a real press may.
    m_btnCancel->setAutoDefault(false);
    m_btnCancel->setDefault(false);
}

void ProgressForm::setCancelEnabled(bool enabled)
{
    m_btnCancel->setEnabled(enabled);
}

void ProgressForm::postUpdateProgress(const QString& status, int curProgress, const QString& progressText)
{
    const bool onGuiThread = QThread::currentThread() == thread();
    {
        const std::lock_guard<std::mutex> lock(m_pendingMutex);
        const ProgressUpdate update{status, curProgress, progressText};
        if (m_pending)
            m_pending->merge(update);
        else
            m_pending = update;
        // Queued under the lock, so a final report posted after this update is queued after its relay.
        if (!onGuiThread && !m_relayQueued) {
            m_relayQueued = true;
            QMetaObject::invokeMethod(this, [this] { relayProgress(); }, Qt::QueuedConnection);
        }
    }
    if (onGuiThread)
        relayProgress();
}

void ProgressForm::postError(const QString& text)
{
    m_reportPosted = true;
    QMetaObject::invokeMethod(this, "errorOccurred", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::postSucceed(const QString& text)
{
    m_reportPosted = true;
    QMetaObject::invokeMethod(this, "succeed", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::postNotCancellable()
{
    {
        const std::lock_guard<std::mutex> lock(m_cancelMutex);
        if (m_cancelled)
            return;  // too late: the job sees the cancel at its next look
        m_cancellable = false;
    }
    QMetaObject::invokeMethod(this, [this] { setCancelEnabled(false); }, Qt::AutoConnection);
}

void ProgressForm::postTipsWait(const QString& text)
{
    m_waiting = true;
    QMetaObject::invokeMethod(this, "tipsWait", Qt::AutoConnection, Q_ARG(QString, text));
}

void ProgressForm::updateProgress(const QString& status, int curProgress, const QString& progressText)
{
    postUpdateProgress(status, curProgress, progressText);
}

void ProgressForm::relayProgress()
{
    std::optional<ProgressUpdate> update;
    {
        const std::lock_guard<std::mutex> lock(m_pendingMutex);
        update.swap(m_pending);
        m_relayQueued = false;
    }
    if (update)
        showProgress(*update);
}

void ProgressForm::showProgress(const ProgressUpdate& update)
{
    if (!update.status.isEmpty())
        setElidedText(m_lbStatus, update.status);
    const int shown = update.progress < 0 ? m_progressBar->value() : update.progress;
    m_progressBar->setValue(shown);  // a value outside 0..100 is ignored by the bar
    setElidedText(m_lbProgress, update.text.isEmpty() ? QStringLiteral("Progress:%1%").arg(shown) : update.text);
}

void ProgressForm::errorOccurred(const QString& err)
{
    // A report that arrives after a cancel closed the dialog is dropped: nobody waits for it any more,
    // and it must not reopen or re-finish the dialog.
    if (hasFinished())
        return;
    relayProgress();
    showError(err);
    done(0);
}

void ProgressForm::succeed(const QString& tipsStr)
{
    if (hasFinished())
        return;
    relayProgress();
    if (!tipsStr.isEmpty())
        showInfo(tipsStr);
    done(1);
}

void ProgressForm::onFinish(int result)
{
    m_finished = true;
    m_cancelled = (result == 0);
}

void ProgressForm::tipsWait(const QString& info)
{
    showInfo(info);
    m_waiting = false;
}

void ProgressForm::cancel()
{
    if (m_reportPosted || hasFinished())
        return;
    {
        const std::lock_guard<std::mutex> lock(m_cancelMutex);
        if (!m_cancellable)
            return;  // the job is past the point where it could stop
        m_cancelled = true;  // before the job can close the way: it looks once more after its post
    }
    emit userCacel();
    done(0);
}
