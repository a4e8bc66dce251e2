// A message database file read raw, as the deleted-message recovery reads it: the header, the freelist,
// every page with its cells and records, every b-tree below each page, and the free space of every page
// carved with a message-like template of every column kind.
#include "fuzz_support.h"
#include "recovery/sqlite3file.h"

#include <QFile>

#include <exception>

namespace {

const QVector<_SqliteCol>& messageTemplate()
{
    static const QVector<_SqliteCol> columns = {
        {QStringLiteral("ROWID"), QStringLiteral("INTEGER"), false, false, true},
        {QStringLiteral("guid"), QStringLiteral("TEXT"), true, false, false},
        {QStringLiteral("text"), QStringLiteral("TEXT"), false, false, false},
        {QStringLiteral("handle_id"), QStringLiteral("INTEGER"), false, true, false},
        {QStringLiteral("attributedBody"), QStringLiteral("BLOB"), false, false, false},
        {QStringLiteral("service"), QStringLiteral("TEXT"), false, false, false},
        {QStringLiteral("date"), QStringLiteral("INTEGER"), false, false, false},
        {QStringLiteral("rate"), QStringLiteral("REAL"), false, false, false},
        {QStringLiteral("is_from_me"), QStringLiteral("INTEGER"), false, true, false},
    };
    return columns;
}

QString scratchFile()
{
    static const QString path = QString::fromUtf8(qgetenv("HOME")) + QStringLiteral("/raw.db");
    return path;
}

void readEverything(const Sqlite3File& file)
{
    const QVector<_SqliteCol>& columns = messageTemplate();
    // With a validator the carver also looks inside each accepted record for later cells.
    const auto withGuid = [](const RecoveredRow& row) { return !row.values.value(1).toString().isEmpty(); };
    for (const Sqlite3FreelistTrunk& trunk : file.freelistTrunks()) {
        for (const quint32 leaf : trunk.leaves)
            file.carvePage(columns, 0, leaf, 0, {});
    }
    for (quint32 n = 1; n <= file.pageCount(); ++n) {
        const Sqlite3Page page = file.readPage(n);
        if (!page.isValidType()) {
            file.carvePage(columns, 0, n, 0, {});
            continue;
        }
        file.carveFreeSpace(columns, 0, page, {});
        file.carveFreeSpace(columns, 0, page, withGuid);
        // Service and date refused as NULL: rules that differ after the first columns, so this pass
        // skips the offsets the passes before found those columns refuse.
        file.carveFreeSpace(columns, 0, page, withGuid, {5, 6});
        (void)file.leafPageNumbers(page);
        for (const Sqlite3Page& below : file.collectAllPages(page)) {
            for (const qint64 cell : below.cellPointers)
                (void)file.rowData(file.readCell(below, cell));
        }
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    fuzz::initialize();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    {
        QFile out(scratchFile());
        if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate) ||
            out.write(reinterpret_cast<const char*>(data), qint64(size)) != qint64(size))
            return 0;
    }
    Sqlite3File file(scratchFile());
    try {
        file.open();
    } catch (const std::exception&) {
        return 0;  // not a database: the expected answer
    }
    readEverything(file);
    return 0;
}
