#pragma once
// The import command's road, shared by the benchmarks: the backup cached into <into>/cache while its
// messages are read and copied into a new local database in <into>/local.
#include "backup/backupmanifest.h"
#include "backup/itunescachesmsthread.h"
#include "core/filehandoff.h"
#include "export/backupsmsthread.h"
#include "msgdb/ios6messagedb.h"

#include <QDir>
#include <QString>

#include <memory>

struct ImportedBackup {
    int messages = 0;     // read from the cached database
    int copiedFiles = 0;  // by the cache job
};

inline ImportedBackup importOnTheCommandsRoad(const BackupManifest& manifest, const QString& into)
{
    const QString cache = into + QStringLiteral("/cache");
    const auto rest = std::make_shared<FileHandoff>();
    ITunesCacheSMSThread caching(const_cast<BackupManifest*>(&manifest), QDir(cache), nullptr);
    caching.handOverTo(rest);
    caching.run();
    _MsgStore store;
    IOS6MessageDb(QDir(cache), QString(), false).messages(store, 0);
    const MsgMessageList messages = store.messageList();
    BackupSMSThread job(messages, QDir(into + QStringLiteral("/local")), QString(), nullptr);
    job.awaitCache(rest);
    job.run();
    return {int(messages.size()), caching.copiedFiles()};
}
