// Deleting from a device database, scanning it and reading the recovered messages back.
#include "recovery/deletedscan.h"

#include "fixtures/crafted_keys.h"
#include "fixtures/deleted_records.h"
#include "fixtures/recording_progress_sink.h"
#include "fixtures/recovery_shapes.h"
#include "fixtures/temp_home.h"
#include "msgdb/ios5messagedb.h"
#include "msgdb/ios6messagedb.h"

#include <QElapsedTimer>
#include <QMultiHash>

#include <algorithm>

#include <gtest/gtest.h>

namespace {

using fixtures::DeviceLayout;
using fixtures::RecordingProgressSink;

class DeletedScanTest : public TempHomeTest {
protected:
    QString dir() const { return homePath(QStringLiteral("source")); }
    QString dbPath() const { return fixtures::ios6DbPathIn(dir()); }
};

void runSql(const QString& path, const QString& sql)
{
    Sqlite3DB db;
    db.openThrow(path, 2);
    db.executeThrow("PRAGMA secure_delete=OFF");
    db.executeThrow(sql);
}

// Date, direction and text as the readers give them: what identifies a message without its guid.
QString messageKey(int date, int fromMe, const QString& text)
{
    return QStringLiteral("%1|%2|").arg(date).arg(fromMe) + text;
}

QString deletedKey(const fixtures::DeletedRecordsDb& truth, const fixtures::TableRow& row, DeviceLayout layout)
{
    QHash<QString, QVariant> v;
    for (int i = 0; i < truth.columns.size(); ++i)
        v.insert(truth.columns[i].name(), row.values[i]);
    if (layout == DeviceLayout::IOS6)
        return messageKey(appleDateSeconds(v["date"].toLongLong()), v["is_from_me"].toInt(), v["text"].toString());
    if (v["is_madrid"].toInt() == 1)
        return messageKey(appleDateSeconds(v["date"].toLongLong()), v["madrid_date_delivered"].toLongLong() > 0,
                          v["text"].toString());
    return messageKey(v["date"].toInt() - 978307200, v["flags"].toInt() == 3, v["text"].toString());
}

// Every deleted message whose bytes survive comes back once with its date, direction and text (and for
// iOS 6 its guid and the address of its handle, deleted too); no live message comes back; a second scan
// adds nothing; all of them read back into a store beside the live conversations.
TEST_F(DeletedScanTest, RecoversWhatWasDeletedOnceAndReadsItBack)
{
    const struct {
        const char* name;
        fixtures::DeletedRecordsOptions options;
        // Of the survivors: iOS 5 rows have no guid, so a row whose text is found anywhere in the file
        // counts as surviving; with heavy deletes freed pages are reused and that says little.
        int missingPercent;
    } cases[] = {
        {"iOS 6: freeblocks, gaps and overflow chains", {DeviceLayout::IOS6, 4096, 600, 2, 30, 3}, 0},
        {"iOS 6: an emptied table on the freelist", {DeviceLayout::IOS6, 1024, 200, 0, 100, 4}, 0},
        {"iOS 5: SMS and iMessage rows", {DeviceLayout::IOS5, 1024, 400, 0, 30, 5}, 0},
        // The table shrinks: freed interior pages still point at live leaves, and freed pages hold stale
        // copies of live cells moved by rebalancing; neither are deleted rows.
        {"iOS 5: freed interior pages over live leaves", {DeviceLayout::IOS5, 512, 1500, 0, 90, 8}, 100},
    };
    for (const auto& c : cases) {
        QDir(dir()).removeRecursively();
        const bool ios6 = c.options.layout == DeviceLayout::IOS6;
        const fixtures::DeletedRecordsDb truth = fixtures::createDeletedRecordsDb(dbPath(), c.options);
        QMap<qint64, QString> deletedHandles;  // rowid -> id
        if (ios6) {
            // The higher row first: the lower one's cell then joins that freeblock and keeps its row id.
            for (const fixtures::TableRow& h : fixtures::tableRows(dbPath(), QStringLiteral("handle")).mid(2, 2))
                deletedHandles.insert(h.rowid, h.values[1].toString());
            for (const qint64 rowid : {deletedHandles.keys().last(), deletedHandles.keys().first()})
                runSql(dbPath(), QStringLiteral("delete from handle where ROWID=%1").arg(rowid));
        }
        IOS6MessageDb db6(QDir(dir()), QStringLiteral("310"), false);
        IOS5MessageDb db5(QDir(dir()), QStringLiteral("310"));
        AbsIOSMessageDb& db = ios6 ? static_cast<AbsIOSMessageDb&>(db6) : db5;
        _MsgStore live;
        const auto scan = [&] {
            if (!ios6)
                return scanDeletedMessages(db5, nullptr);
            scanDeletedHandles(db6, nullptr);
            scanDeletedMessages(db6, live.chatList(), nullptr);
        };
        db.chats(live);
        db.messages(live, 0);
        scan();

        QMultiHash<QString, _MsgRecycledMessage> found;
        for (const _MsgRecycledMessage& r : db.recycleDb().loadMessages())
            found.insert(messageKey(r.message.date, r.message.is_from_me, r.message.text), r);
        int survivors = 0, missing = 0;
        for (const fixtures::DeletedMessage& message : truth.deleted) {
            const QString key = deletedKey(truth, message, c.options.layout);
            survivors += message.survives;
            if (!message.survives)
                continue;
            EXPECT_LE(found.count(key), 1) << c.name << " " << qPrintable(key);
            if (!found.contains(key)) {
                ++missing;
                continue;
            }
            const _MsgRecycledMessage r = found.value(key);
            EXPECT_TRUE(!ios6 || r.message.guid == message.values[1].toString()) << c.name;
            const bool ofDeletedHandle = ios6 && message.values[5].toLongLong() == deletedHandles.firstKey();
            EXPECT_TRUE(!ofDeletedHandle || r.handle.endsWith(deletedHandles.first().right(7))) << c.name;
        }
        EXPECT_GT(survivors, 10) << c.name;
        EXPECT_LE(missing * 100, survivors * c.missingPercent) << c.name << ": " << missing << " of " << survivors;
        for (const _MsgMessage* message : live.data()->messages)
            EXPECT_FALSE(found.contains(messageKey(message->date, message->is_from_me, message->text)))
                << c.name << ": live " << qPrintable(message->text);
        QStringList ids;  // normalised when recovered: compare the national digits
        for (const _MsgHandle& h : ios6 ? db.recycleDb().handles() : QList<_MsgHandle>())
            ids.append(h.id.right(7));
        for (const QString& id : deletedHandles)
            EXPECT_TRUE(ids.contains(id.right(7))) << c.name << " " << qPrintable(id);

        scan();
        EXPECT_EQ(db.recycleDb().loadMessages().size(), found.size()) << c.name << ": a second scan";

        const int liveCount = live.data()->messages.size();
        ios6 ? db6.recycledMessages(live) : db5.recycledMessages(live);
        EXPECT_EQ(live.data()->messages.size(), liveCount + found.size()) << c.name;
    }
}

// Rows deleted only in the write-ahead log are live cells of the main file while a reader holds the log
// back; once the checkpoint can run, the next scan finds them.
TEST_F(DeletedScanTest, ReadsTheMainFileAfterCheckpointing)
{
    fixtures::createDeletedRecordsDb(dbPath(), {DeviceLayout::IOS6, 4096, 300, 0, 0, 6});
    runSql(dbPath(), QStringLiteral("PRAGMA journal_mode=WAL"));
    auto reader = std::make_unique<Sqlite3DB>();
    reader->openThrow(dbPath(), 1);
    reader->beginTran();
    Sqlite3Cursor(reader->queryThrow("select count(*) from message")).moveNext();
    runSql(dbPath(), QStringLiteral("delete from message where ROWID % 3 = 0"));

    IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
    scanDeletedMessages(db, {}, nullptr);
    EXPECT_EQ(db.recycleDb().loadMessages().size(), 0);
    reader.reset();
    scanDeletedMessages(db, {}, nullptr);
    EXPECT_GT(db.recycleDb().loadMessages().size(), 50);
}

// A cancelled scan commits what it stored and leaves no transaction open, so the next scan runs.
TEST_F(DeletedScanTest, CancelCommitsWhatWasStored)
{
    fixtures::createDeletedRecordsDb(dbPath(), {DeviceLayout::IOS6, 1024, 600, 0, 30, 7});
    IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
    RecordingProgressSink cancelling(3);
    scanDeletedMessages(db, {}, &cancelling);
    EXPECT_FALSE(db.recycleDb().inTransaction());
    const int partial = db.recycleDb().loadMessages().size();
    ASSERT_FALSE(cancelling.updates().empty());
    EXPECT_LT(cancelling.updates().back().progress, 100);

    RecordingProgressSink full;
    scanDeletedMessages(db, {}, &full);
    EXPECT_EQ(full.updates().back().progress, 100);
    EXPECT_GT(db.recycleDb().loadMessages().size(), partial);
}

// A message restored to the live table after its recovery reads back once, as the live one, whether
// another connection restored it or the one that scanned.
TEST_F(DeletedScanTest, RestoredAfterTheScanIsNotReadBack)
{
    for (const bool sameConnection : {false, true}) {
        fixtures::createDeletedRecordsDb(dbPath(), {DeviceLayout::IOS6, 4096, 300, 0, 30, 11});
        IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
        QFile::remove(db.recycleDb().filePath());
        scanDeletedMessages(db, {}, nullptr);
        const QList<_MsgRecycledMessage> recovered = db.recycleDb().loadMessages();
        ASSERT_GT(recovered.size(), 1);
        const QString guid = recovered.last().message.guid;
        const QString restore = QStringLiteral("insert into message(guid, text) values('%1', 'back')").arg(guid);
        sameConnection ? db.executeThrow(restore) : runSql(dbPath(), restore);
        _MsgStore store;
        db.recycledMessages(store);
        EXPECT_EQ(store.data()->messages.size(), recovered.size() - 1) << sameConnection;
        for (const _MsgMessage* m : store.data()->messages)
            EXPECT_NE(m->guid, guid) << sameConnection;
    }
}

// A handle in two one-to-one conversations files its messages under the later one, in whatever order
// the caller lists the conversations.
TEST_F(DeletedScanTest, ChoosesTheConversationWhateverTheListOrder)
{
    fixtures::createDeletedRecordsDb(dbPath(), {DeviceLayout::IOS6, 4096, 300, 0, 40, 9});
    runSql(dbPath(), "insert into chat(guid, style, chat_identifier, service_name) values('SMS;-;again', 45, 'again', 'SMS')");
    runSql(dbPath(), "insert into chat_handle_join(chat_id, handle_id) select (select max(rowid) from chat), handle_id"
                     " from chat_handle_join where chat_id = (select min(rowid) from chat where style = 45)");
    QStringList placed[2];
    for (QStringList& places : placed) {
        IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
        QFile::remove(db.recycleDb().filePath());
        _MsgStore store;
        db.chats(store);
        QList<_MsgChat*> chats = store.chatList();
        std::sort(chats.begin(), chats.end(), [&](_MsgChat* a, _MsgChat* b) { return (a->rowid < b->rowid) == (&places == placed); });
        scanDeletedMessages(db, chats, nullptr);
        for (const _MsgRecycledMessage& r : db.recycleDb().loadMessages())
            places.append(r.message.guid + QLatin1Char(' ') + r.chat_identifier);
        places.sort();
    }
    EXPECT_TRUE(placed[0] == placed[1]);
    EXPECT_TRUE(placed[0].join(QLatin1Char('|')).contains(QLatin1String(" again")));
}

// Databases deleted from as devices delete: what survives comes back right (in a deleted conversation
// its address may stay unknown), and nothing comes back that was not deleted as it was.
TEST_F(DeletedScanTest, RecoversEveryDeleteShapeWithoutFalseFinds)
{
    QVector<std::tuple<fixtures::ShapeCase, int, unsigned>> runs;
    for (const fixtures::ShapeCase& shape : fixtures::shapeCases()) {
        runs.append({shape, 500, 17});
        // Here a later cell, freed again with its header whole, was written over a deleted message's tail.
        if (QLatin1String(shape.name) == QLatin1String("iOS 5 long texts, session, 1024"))
            runs.append({shape, 3000, 7});
        // Here received messages of deleted groups outlive the handle rows of their senders.
        if (shape.shape == fixtures::DeleteShape::WholeGroups)
            runs.append({shape, 3000, 1});
        // Here records whose dates were cut lie in the freeblocks of a leaf a rebalance freed, their row ids lost.
        if (shape.shape == fixtures::DeleteShape::CutDates && shape.layout == DeviceLayout::IOS6)
            runs.append({shape, 10000, 7});
    }
    for (const auto& [shape, messages, seed] : runs) {
        QDir(dir()).removeRecursively();
        const fixtures::ShapeDb truth = fixtures::createShapeDb(dbPath(), shape, messages, seed);
        _MsgStore store;
        if (shape.layout == DeviceLayout::IOS6) {
            IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
            db.chats(store);
            scanDeletedHandles(db, nullptr);
            scanDeletedMessages(db, store.chatList(), nullptr);
            db.recycledMessages(store);
        } else {
            IOS5MessageDb db(QDir(dir()), QStringLiteral("310"));
            scanDeletedMessages(db, nullptr);
            db.recycledMessages(store);
        }
        const fixtures::ShapeScore score = fixtures::scoreRecovered(truth, store);
        const bool wholeConversations = shape.shape == fixtures::DeleteShape::WholeConversations;
        EXPECT_EQ(score.falseFinds, 0) << shape.name << ", seed " << seed;
        EXPECT_GT(score.survivors, 10) << shape.name;
        EXPECT_GE(wholeConversations ? score.textRecall() : score.recall(), 0.98)
            << shape.name << ": " << score.found << " of " << score.survivors;
    }
}

// A deleted message dated hours before the live rows around it is kept when no change of its date's
// last two bytes brings it among them: it came late, it was not cut.
TEST_F(DeletedScanTest, KeepsALateMessageNoCutOfItsDateExplains)
{
    fixtures::createDeletedRecordsDb(dbPath(), {DeviceLayout::IOS6, 4096, 300, 0, 0, 11});
    constexpr qint64 kBlock = qint64(6104) << 16;  // dates from here on share all but their last two bytes
    runSql(dbPath(), QStringLiteral("update message set date = case ROWID when 150 then %1 - 100"
                                    " else %1 + 10000 + (ROWID - 150) * 60 end").arg(kBlock));
    runSql(dbPath(), "delete from message where ROWID = 150");
    IOS6MessageDb db(QDir(dir()), QStringLiteral("310"), false);
    _MsgStore store;
    db.chats(store);
    scanDeletedMessages(db, store.chatList(), nullptr);
    const QList<_MsgRecycledMessage> found = db.recycleDb().loadMessages();
    ASSERT_EQ(found.size(), 1);
    EXPECT_EQ(found.first().message.date, kBlock - 100);
}

// Crafted keys whose Qt hashes agree under every seed scan about as fast as plain ones of the same form:
// the guids of deleted iOS 6 rows, the texts of live iOS 5 rows of one date.
TEST_F(DeletedScanTest, CraftedKeysScanAboutAsFastAsPlainOnes)
{
    if (!qtHashIsCrc())
        GTEST_SKIP() << "Qt's string hash is no CRC on this CPU: the keys do not collide";
    for (const DeviceLayout layout : {DeviceLayout::IOS6, DeviceLayout::IOS5}) {
        const auto timeToScan = [&](const QStringList& keys) {
            QDir(dir()).removeRecursively();
            fixtures::createKeyedMessagesDb(dbPath(), layout, keys);
            IOS6MessageDb db6(QDir(dir()), QStringLiteral("310"), false);
            IOS5MessageDb db5(QDir(dir()), QStringLiteral("310"));
            QElapsedTimer timer;
            timer.start();
            layout == DeviceLayout::IOS6 ? scanDeletedMessages(db6, {}, nullptr) : scanDeletedMessages(db5, nullptr);
            return timer.nsecsElapsed() + 1;
        };
        EXPECT_LT(timeToScan(crcCollidingTexts("k", "-", 20000)), 3 * timeToScan(plainTextsLike("k", "-", 20000)));
    }
}

// A carved iOS 6 row whose room name had its last byte overwritten by a control character is not a
// message of some other room.
TEST(DeletedIos6RowTest, RefusesARoomNameHoldingAControlCharacter)
{
    ColumnIndex index;
    RecoveredRow carved;
    carved.values.resize(38);
    const auto set = [&](const char* name, int position, const QVariant& value) {
        index.insert(QLatin1String(name), position);
        carved.values[position] = value;
    };
    set("text", 2, QStringLiteral("On my way"));
    set("service", 11, QStringLiteral("iMessage"));
    set("date", 15, 400000000);
    set("cache_roomnames", 35, QStringLiteral("chat730002519"));
    _MsgMessage m;
    EXPECT_TRUE(deletedIos6RowToMessage(DeletedRow(carved, index), 500000000, m));
    carved.values[35] = QStringLiteral("chat73000251\x0f");
    EXPECT_FALSE(deletedIos6RowToMessage(DeletedRow(carved, index), 500000000, m));
}

}  // namespace
