#include "core/errors.h"

#include <stdexcept>

void throwUtf8(const QString& text)
{
    throw std::runtime_error(text.toUtf8().toStdString());
}
