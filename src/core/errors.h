#pragma once
// Error texts thrown as std::runtime_error holding their UTF-8 bytes; catchers read them back with
// QString::fromUtf8(what()).
#include <QString>

[[noreturn]] void throwUtf8(const QString& text);
