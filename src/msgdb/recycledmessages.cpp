// Reading recovered messages back into a store, beside the live ones.
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"

#include <algorithm>

void IOS5MessageDb::recycledMessages(_MsgStore& store)
{
    open();
    addRecycledMessages(store, m_recycle.loadMessages());
}

void IOS6MessageDb::recycledMessages(_MsgStore& store)
{
    open();
    QList<_MsgRecycledMessage> list = m_recycleDb.loadMessages();
    const Sqlite3ReadTransaction reading(*this);  // one lock for the guid look-ups, not one each
    // A message restored to the live table after its recovery is shown once, as the live one.
    list.erase(std::remove_if(list.begin(), list.end(),
                              [this](const _MsgRecycledMessage& r) { return messageRowidByGuid(r.message.guid) != 0; }),
               list.end());
    addRecycledMessages(store, std::move(list));
}
