#pragma once
// Shared set-up of the fuzz targets: a private data folder, quiet Qt logging, bytes as QByteArray.
#include <QByteArray>
#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtGlobal>

#include <cstdint>
#include <cstdlib>

namespace fuzz {

inline void quietMessageHandler(QtMsgType, const QMessageLogContext&, const QString&) {}

// Where the private folder goes: memory when there is a tmpfs, since the database targets write,
// sync and remove files for every input and a disk would make them several times slower.
inline QString scratchBase()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return shm.isDir() && shm.isWritable() ? shm.absoluteFilePath() : QDir::tempPath();
}

// Points HOME and XDG_DATA_HOME at a private folder, removed at exit, and silences Qt's log output,
// which would otherwise flood the fuzzer's output for every rejected input.
inline void initialize()
{
    static const QTemporaryDir folder(scratchBase() + QStringLiteral("/tallowmere-fuzz-XXXXXX"));
    if (!folder.isValid())
        std::abort();
    const QByteArray home = folder.path().toUtf8();
    qputenv("HOME", home);
    qputenv("XDG_DATA_HOME", home + "/share");
    qInstallMessageHandler(quietMessageHandler);
}

inline QByteArray bytes(const uint8_t* data, size_t size)
{
    return QByteArray(reinterpret_cast<const char*>(data), static_cast<int>(size));
}

}  // namespace fuzz
