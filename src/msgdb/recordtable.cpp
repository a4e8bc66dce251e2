#include "msgdb/recordtable.h"

#include <QRandomGenerator>

quint64 recordtable::drawSeed()
{
    return QRandomGenerator::system()->generate64();
}
