#pragma once
// Shared set-up of the fuzz targets: a private data folder, quiet Qt logging, bytes as QByteArray.
#include <QByteArray>
#include <QDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <unistd.h>

namespace fuzz {

inline void quietMessageHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

// Points HOME and XDG_DATA_HOME at a private folder and silences Qt's log output, which would
// otherwise flood the fuzzer's output for every rejected input.
inline void initialize()
{
    const QByteArray home = QDir::tempPath().toUtf8() + "/tallowmere-fuzz-" + QByteArray::number(qint64(getpid()));
    QDir().mkpath(QString::fromUtf8(home));
    qputenv("HOME", home);
    qputenv("XDG_DATA_HOME", home + "/share");
    qInstallMessageHandler(quietMessageHandler);
}

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

}  // namespace fuzz
