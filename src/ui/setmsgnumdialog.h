#pragma once
// The dialog that gives recovered messages of unknown number a phone number: typed, or taken from a
// list of known handles that typing filters (the recycle database's own handles first, in red). The
// number becomes conversation and address of every message in the recycle database, in one
// transaction.
#include "msgdb/messagerecycledb.h"
#include "msgdb/records.h"
#include "ui/winmovable.h"

#include <QDialog>
#include <QList>

class QDialogButtonBox;
class QLabel;
class QLineEdit;
class QListWidget;

class SetMsgNumDialog : public QDialog {
    Q_OBJECT
public:
    // handles: the caller's known handles; those in the band of unknown conversations are left out.
    // Reading the recycle database's handles may fail: the error is shown and the list goes without them.
    SetMsgNumDialog(const MsgMessageList& messages, const QList<_MsgHandle*>& handles, MessageRecycleDb& recycleDb,
                    QWidget* parent = nullptr);
    ~SetMsgNumDialog() override;

    void addHandleRow(const HandleItem& item);
    // One record per message handed in. After an accepted write, those the recycle database holds
    // carry the number as conversation and address, so the caller needs no reload to show them.
    const QList<_MsgRecycledMessage>& records() const { return m_records; }

public slots:
    // Asks, then writes the typed number; the dialog stays open on a blank number, a No or an error.
    void accept() override;
    void selectHandleList();
    void numberInputChanged(const QString& text);

private:
    void buildForm();
    void loadHandleItems(const QList<_MsgHandle*>& handles);
    void writeNumber(const QString& number);

    WinMovable m_mover;
    MessageRecycleDb& m_recycleDb;
    QList<_MsgRecycledMessage> m_records;
    QList<HandleItem> m_handleItems;  // sorted; the list behind the filter
    QLabel* lbTitle = nullptr;        // children of the dialog
    QLineEdit* txtNumber = nullptr;
    QListWidget* ltHandle = nullptr;
    QDialogButtonBox* buttonBox = nullptr;
};
