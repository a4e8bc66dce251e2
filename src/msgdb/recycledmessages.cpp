// Reading recovered messages back into a store, beside the live ones.
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"

#include <sqlite3.h>

#include <algorithm>

void IOS5MessageDb::recycledMessages(_MsgStore& store)
{
    open();
    addRecycledMessages(store, m_recycle.loadRecords());
}

void IOS6MessageDb::recycledMessages(_MsgStore& store)
{
    open();
    std::vector<RecycledRecord> list = m_recycleDb.loadRecords();
    const Sqlite3ReadTransaction reading(*this);  // one lock for the guid look-ups, not one each
    // A message restored to the live table after its recovery is shown once, as the live one. Rows a
    // scan of this connection checked need no second look while nothing changed since.
    const GuidsChecked checked = liveMark() == m_guidsChecked.mark ? m_guidsChecked : GuidsChecked();
    list.erase(std::remove_if(list.begin(), list.end(),
                              [&](const RecycledRecord& r) {
                                  const qint64 rowid = kRecycleMessageBase - r.message->rowid;
                                  return (rowid < checked.first || rowid > checked.last) &&
                                         messageRowidByGuid(r.message->guid) != 0;
                              }),
               list.end());
    addRecycledMessages(store, std::move(list));
}

IOS6MessageDb::LiveMark IOS6MessageDb::liveMark()
{
    open();
    return {queryFirstInt64("PRAGMA data_version").value_or(0), sqlite3_total_changes64(handle())};
}

void IOS6MessageDb::noteRecycledGuidsChecked(qint64 first, qint64 last, const LiveMark& mark)
{
    open();
    m_guidsChecked = {first, last, mark};
}
