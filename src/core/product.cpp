#include "core/product.h"

#include <QCoreApplication>

QString productTitle()
{
    return QCoreApplication::translate("QObject", "Tallowmere");
}
