#include "ui/setmsgnumdialog.h"

#include "ui/messagebox.h"

#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace {

// Caller handles at or below this row id stand for conversations without a known number.
constexpr qint64 kUnknownHandleRowidLimit = -2047483647;

bool matches(const _MsgHandle& handle, const QString& text)
{
    return handle.id.contains(text, Qt::CaseInsensitive) || handle.contactName.contains(text, Qt::CaseInsensitive);
}

}  // namespace

SetMsgNumDialog::SetMsgNumDialog(const MsgMessageList& messages, const QList<_MsgHandle*>& handles,
                                 MessageRecycleDb& recycleDb, QWidget* parent)
    : QDialog(parent), m_mover(this), m_recycleDb(recycleDb)
{
    qRegisterMetaType<HandleItem>("HandleItem");
    buildForm();
    setWindowFlags(Qt::Dialog | Qt::FramelessWindowHint);
    setStyleSheet(loadStyleSheet());
    connect(ltHandle, &QListWidget::itemSelectionChanged, this, &SetMsgNumDialog::selectHandleList);
    connect(txtNumber, &QLineEdit::textChanged, this, &SetMsgNumDialog::numberInputChanged);
    for (const _MsgMessage* message : messages)
        m_records.append({*message, QString(), QString()});
    loadHandleItems(handles);
    for (const HandleItem& item : qAsConst(m_handleItems))
        addHandleRow(item);
}

SetMsgNumDialog::~SetMsgNumDialog() = default;

void SetMsgNumDialog::buildForm()
{
    setObjectName(QStringLiteral("SetMsgNumDialog"));
    resize(434, 290);
    setWindowTitle(tr("Dialog"));
    auto* verticalLayout2 = new QVBoxLayout(this);
    verticalLayout2->setObjectName(QStringLiteral("verticalLayout_2"));
    verticalLayout2->setSpacing(10);
    verticalLayout2->setContentsMargins(-1, 15, -1, 15);  // -1: the style's own side margins

    lbTitle = new QLabel(tr("IDS_SET_MESSAGE_NUMBER"), this);
    lbTitle->setObjectName(QStringLiteral("lbTitle"));
    verticalLayout2->addWidget(lbTitle);

    auto* widget = new QWidget(this);
    widget->setObjectName(QStringLiteral("widget"));
    auto* verticalLayout = new QVBoxLayout(widget);
    verticalLayout->setObjectName(QStringLiteral("verticalLayout"));
    verticalLayout->setSpacing(2);
    verticalLayout->setContentsMargins(0, 10, 0, 0);
    txtNumber = new QLineEdit(widget);
    txtNumber->setObjectName(QStringLiteral("txtNumber"));
    verticalLayout->addWidget(txtNumber);
    ltHandle = new QListWidget(widget);
    ltHandle->setObjectName(QStringLiteral("ltHandle"));
    verticalLayout->addWidget(ltHandle);
    verticalLayout2->addWidget(widget);

    buttonBox = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, Qt::Horizontal, this);
    buttonBox->setObjectName(QStringLiteral("buttonBox"));
    verticalLayout2->addWidget(buttonBox);
    connect(buttonBox, &QDialogButtonBox::accepted, this, &SetMsgNumDialog::accept);
    connect(buttonBox, &QDialogButtonBox::rejected, this, &QDialog::reject);
}

void SetMsgNumDialog::loadHandleItems(const QList<_MsgHandle*>& handles)
{
    try {
        for (const _MsgHandle& handle : m_recycleDb.handles())
            m_handleItems.append({true, handle});
    } catch (const std::exception& error) {
        showError(htmlEscape(QString::fromUtf8(error.what())));
    }
    for (const _MsgHandle* handle : handles) {
        if (handle && handle->rowid > kUnknownHandleRowidLimit)
            m_handleItems.append({false, *handle});
    }
    std::stable_sort(m_handleItems.begin(), m_handleItems.end(), compareHandleItems);
}

void SetMsgNumDialog::addHandleRow(const HandleItem& item)
{
    QString text = item.handle.displayName(true);
    if (!item.handle.service.isEmpty())
        text += QStringLiteral(" - ") + item.handle.service;
    auto* row = new QListWidgetItem(text, ltHandle);
    if (item.fromRecycle)
        row->setForeground(QColor(255, 0, 0));
    row->setData(Qt::UserRole, QVariant::fromValue(item));
}

void SetMsgNumDialog::selectHandleList()
{
    const QListWidgetItem* row = ltHandle->currentItem();
    if (!row)
        return;
    const QSignalBlocker blocker(txtNumber);
    txtNumber->setText(row->data(Qt::UserRole).value<HandleItem>().handle.id);
    // The refill clears this list, which must not happen inside the list's own selection signal.
    QMetaObject::invokeMethod(this, [this] { numberInputChanged(txtNumber->text()); }, Qt::QueuedConnection);
}

void SetMsgNumDialog::numberInputChanged(const QString& text)
{
    const QSignalBlocker blocker(ltHandle);
    ltHandle->clear();
    for (const HandleItem& item : qAsConst(m_handleItems)) {
        if (matches(item.handle, text))
            addHandleRow(item);
    }
}

void SetMsgNumDialog::accept()
{
    const QString number = txtNumber->text().trimmed();
    if (number.isEmpty()) {
        showWarning(tr("IDS_EMPATY_PHONE_NUMNBER_PLEASE_INPUT"));
        return;
    }
    if (!askQuestion(tr("IDS_CONFIRM_SET_UNKNOWN_MSG_NUMBER_AS_%1").arg(htmlEscape(number))))
        return;
    try {
        writeNumber(number);
    } catch (const std::exception& error) {
        m_recycleDb.endTransaction(false);
        showError(htmlEscape(QString::fromUtf8(error.what())));
        return;
    }
    QDialog::accept();
}

void SetMsgNumDialog::writeNumber(const QString& number)
{
    m_recycleDb.beginTransaction();
    QList<_MsgRecycledMessage*> written;
    for (_MsgRecycledMessage& record : m_records) {
        if (m_recycleDb.setMessageNumber(record.message, number, number))
            written.append(&record);
    }
    m_recycleDb.endTransaction(true);
    for (_MsgRecycledMessage* record : qAsConst(written)) {
        record->chat_identifier = number;
        record->handle = number;
    }
}
