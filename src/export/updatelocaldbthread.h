#pragma once
// The upgrade of old local databases. Older versions kept a local database as "mms.db" (tables message,
// handle, attachment and message_attachment) with its files in an "attachments" folder beside it,
// in "local_databases/<name>" or, older still, in "data/<name>". Start-up converts each into the
// current local database "local_databases/<name>" and moves its "mms.db" aside, so that the next start
// no longer finds it; the old file stays readable under its new name.
#include "core/progresssink.h"

#include <QDir>
#include <QStringList>
#include <QThread>

#include <functional>

// The folders below "local_databases", then those below "data", that still hold an "mms.db".
QStringList oldLocalDatabaseFolders();

// Replaces the rename that moves a converted "mms.db" aside; an empty function restores the real one.
// Tests only: no file mode stops root, who runs them in CI, from renaming.
void setOldDbRenameForTesting(std::function<bool(const QString& from, const QString& to)> rename);

class UpdateLocalDbThread : public QThread {
    Q_OBJECT
public:
    struct Result {
        int messages = 0;       // old messages read
        int withoutHandle = 0;  // old messages left out: their handle row is missing
    };

    explicit UpdateLocalDbThread(ProgressSink* progress, QObject* parent = nullptr);

    // Converts every old database, then renames each "mms.db" to a free "mms.db-bak" name. A failed
    // rename is an error: the database would otherwise be converted again at every start.
    void run() override;

    // Merges source's "mms.db" into the local database in target (created when missing) in one
    // transaction; nothing when source holds no "mms.db". Merging twice adds nothing the second time.
    // Throws what the database layer throws; the target then keeps nothing of this call.
    Result convertOldDb(const QDir& source, const QDir& target);

private:
    ProgressSink* m_progress;  // not owned
};
