#include "msgdb/recordtable.h"

#include <QRandomGenerator>

quint64 recordtable::drawSeed()
{
    return QRandomGenerator::system()->generate64();
}

quint64 recordHash(const QString& key)
{
    // Four UTF-16 units at a time, each block folded into the seeded state before it is mixed, so
    // that which keys collide depends on the secret seed.
    quint64 state = recordtable::processSeed() ^ quint64(key.size());
    const QChar* unit = key.constData();
    const int size = key.size();
    int i = 0;
    for (; i + 4 <= size; i += 4) {
        const quint64 block = quint64(unit[i].unicode()) | quint64(unit[i + 1].unicode()) << 16
                              | quint64(unit[i + 2].unicode()) << 32 | quint64(unit[i + 3].unicode()) << 48;
        state = recordtable::mix(state ^ block);
    }
    quint64 tail = 0;
    for (int shift = 0; i < size; ++i, shift += 16)
        tail |= quint64(unit[i].unicode()) << shift;
    return recordtable::mix(state ^ tail ^ 0x9E3779B97F4A7C15ULL);
}
