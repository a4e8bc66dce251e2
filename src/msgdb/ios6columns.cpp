#include "msgdb/ios6columns.h"

#include <QtGlobal>

int appleDateSeconds(qint64 stored)
{
    // Newer devices store nanoseconds; no date in seconds comes anywhere near 10^11.
    constexpr qint64 kNanosecondThreshold = 100000000000LL;
    if (stored > kNanosecondThreshold || stored < -kNanosecondThreshold)
        stored /= 1000000000LL;
    return int(qBound<qint64>(INT_MIN, stored, INT_MAX));
}

std::vector<std::pair<const char*, QString>> ios6LaterMessageColumnStatements()
{
    std::vector<std::pair<const char*, QString>> statements;
    for (const Ios6Column<_MsgMessage>& c : kIos6MessageColumns) {
        if (!c.has(kColumnLater) || c.read == ColumnRead::None)
            continue;
        QString sql = QStringLiteral("ALTER TABLE message ADD COLUMN %1 %2")
                          .arg(QLatin1String(c.name), QLatin1String(c.sqlType));
        if (c.defaultValue)
            sql += QStringLiteral(" DEFAULT ") + QLatin1String(c.defaultValue);
        statements.emplace_back(c.name, sql + QLatin1Char(';'));
    }
    return statements;
}
