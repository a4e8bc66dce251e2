#include "export/updatelocaldbthread.h"

#include "core/datadir.h"
#include "core/errors.h"
#include "core/fileutil.h"
#include "core/jobguard.h"
#include "core/progressthrottle.h"
#include "core/safepath.h"
#include "export/exportmessagesdb.h"
#include "msgdb/msgutil.h"
#include "platform/seededhash.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QList>

#include <limits>

namespace {

QString oldDbPath(const QDir& folder)
{
    return folder.absoluteFilePath(QStringLiteral("mms.db"));
}

// The row id and the handle's columns are selected under names of their own: "m.*" holds the row id
// only when the old table declared it, and may hold columns named like the handle's.
const char kMessagesSql[] =
    "select m.*, m.rowid as old_rowid, h.address as old_address, h.person as old_person from message as m"
    " inner join handle as h on m.handle_id=h.rowid order by m.rowid";
const char kWithoutHandleSql[] =
    "select count(*) from message as m left join handle as h on m.handle_id=h.rowid where h.rowid is null";
// Read once for all messages: the old join table has no index on message_id.
const char kAttachmentsSql[] =
    "select ma.message_id, a.filename, a.mime_type from message_attachment as ma"
    " inner join attachment as a on ma.attachment_id=a.rowid order by ma.message_id, a.rowid";

struct OldAttachment {
    QString filename;  // below the old folder's "attachments"
    QString mimeType;
};
using OldAttachments = IdHash<QList<OldAttachment>>;

OldAttachments readAttachments(Sqlite3DB& db)
{
    OldAttachments byMessage;
    Sqlite3Cursor rows = db.queryThrow(kAttachmentsSql);
    while (rows.moveNext())
        byMessage[rows.getInt64(0)].append({rows.getText(1), rows.getText(2)});
    return byMessage;
}

int countWithoutHandle(Sqlite3DB& db)
{
    Sqlite3Cursor rows = db.queryThrow(kWithoutHandleSql);
    return rows.moveNext() ? int(rows.getInt64(0)) : 0;
}

// Old dates are Unix seconds in 32 bits; ours count from 2001-01-01.
int appleDateFromUnix(int unixSeconds)
{
    const qint64 seconds = qint64(unixSeconds) - kAppleEpochOffset;
    return int(qBound<qint64>(std::numeric_limits<int>::min(), seconds, std::numeric_limits<int>::max()));
}

bool isSkippedMime(const QString& mime)
{
    return mime.isEmpty() || mime.startsWith(QLatin1String("application/"), Qt::CaseInsensitive);
}

// "public." and what follows the first "/" of the MIME type.
QString utiOf(const QString& mime)
{
    return QStringLiteral("public.") + mime.section(QLatin1Char('/'), 1, 1);
}

// Where the device keeps an attachment with transfer guid G: "~/Library/SMS/Attachments/<g0g1>/<g2g3>/G/<name>".
QString deviceAttachmentPath(const QString& guid, const QString& name)
{
    return QStringLiteral("~/Library/SMS/Attachments/%1/%2/%3/%4")
        .arg(guid.left(2).toLower(), guid.mid(2, 2).toLower(), guid, name);
}

// The message text of a readable plain-text attachment that is not blank; "" otherwise.
QString plainTextAttachment(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();
    const QString text = QString::fromUtf8(file.readAll());
    return text.trimmed().isEmpty() ? QString() : text;
}

// Turns the rows of one old database into messages of the current layout and hands them to the
// exporter. One old message becomes one message for its text and one for each attachment.
class OldDbConverter {
public:
    OldDbConverter(const QDir& source, ExportMessagesDb& exporter)
        : m_attachmentDir(source.absoluteFilePath(QStringLiteral("attachments"))),
          m_exporter(exporter),
          m_country(exporter.database().countryDb().defaultCountry())
    {
    }

    void convert(const Sqlite3Cursor& row, const QList<OldAttachment>& attachments)
    {
        const QString address = m_country.normalizeNumber(row.getText(QStringLiteral("old_address")));
        _MsgHandle handle;
        handle.id = address;
        handle.service = QStringLiteral("SMS");
        handle.contactName = row.getText(QStringLiteral("old_person"));
        _MsgChat chat;
        chat.guid = QStringLiteral("SMS;-;") + address;
        chat.chat_identifier = address;
        chat.handles.insert(address, &handle);
        _MsgMessage message = messageFromRow(row);
        message.handle = &handle;
        message.chat = &chat;

        const QString visible = message.visibleText();
        if (!visible.isEmpty()) {
            message.text = visible;
            exportMessage(message);
        }
        for (const OldAttachment& attachment : attachments)
            convertAttachment(message, attachment);
    }

private:
    static _MsgMessage messageFromRow(const Sqlite3Cursor& row)
    {
        _MsgMessage m;
        m.text = row.getText(QStringLiteral("body"));
        m.subject = row.getText(QStringLiteral("subject"));
        m.service = QStringLiteral("SMS");
        m.account = QStringLiteral("e:");
        m.date = m.date_read = m.date_delivered = appleDateFromUnix(row.getInt(QStringLiteral("date")));
        m.is_from_me = row.getInt64(QStringLiteral("is_send")) != 0 ? 1 : 0;
        m.is_finished = m.is_prepared = m.is_read = m.is_sent = m.was_data_detected = 1;
        return m;
    }

    void exportMessage(_MsgMessage& message)
    {
        message.guid = guidFromMd5(messageLogicHash(&message).toUtf8());
        m_exporter.exportMessage(&message);
    }

    void convertAttachment(_MsgMessage& message, const OldAttachment& attachment)
    {
        if (isSkippedMime(attachment.mimeType))
            return;
        const std::optional<QString> path = m_attachmentDir.resolve(attachment.filename);
        if (!path)
            return;  // logged by the containment check
        if (attachment.mimeType.compare(QLatin1String("text/plain"), Qt::CaseInsensitive) == 0) {
            const QString text = plainTextAttachment(*path);
            if (text.isEmpty())
                return;
            message.attachments.clear();
            message.text = text;
            message.attributedBody.clear();
            exportMessage(message);
            return;
        }
        const QString guid = guidFromMd5((QStringLiteral("attachments/") + attachment.filename).toUtf8());
        const QString name = attachment.filename.section(QLatin1Char('/'), -1);
        m_attachment = _MsgAttachment();
        m_attachment.guid = guid;
        m_attachment.created_date = message.date;
        m_attachment.filename = deviceAttachmentPath(guid, name);
        m_attachment.localPath = *path;
        m_attachment.mime_type = attachment.mimeType;
        m_attachment.uti = utiOf(attachment.mimeType);
        m_attachment.is_outgoing = message.is_from_me ? 1 : 0;
        m_attachment.transfer_name = name;
        message.attachments.clear();
        message.attachments.insert(guid, &m_attachment);
        message.text = QString(QChar(0xFFFC));
        message.attributedBody = makeAttributedBody(guid);
        exportMessage(message);
    }

    ContainedFolder m_attachmentDir;
    ExportMessagesDb& m_exporter;
    const Country& m_country;
    _MsgAttachment m_attachment;  // the one attachment of the message being exported
};

std::function<bool(const QString&, const QString&)>& renameForTesting()
{
    static std::function<bool(const QString&, const QString&)> rename;
    return rename;
}

// Moves the converted "mms.db" aside under a free name. Failing here would bring the conversion back
// at every start, so it is an error.
void retireOldDb(const QDir& folder)
{
    const QString from = oldDbPath(folder);
    const QString to = uniqueFilePath(folder.absoluteFilePath(QStringLiteral("mms.db-bak")));
    const auto& rename = renameForTesting();
    if (!(rename ? rename(from, to) : QDir().rename(from, to)))
        throwUtf8(UpdateLocalDbThread::tr("IDS_CANNOT_RENAME_OLD_LOCALDB_%1").arg(QDir::toNativeSeparators(from)));
}

}  // namespace

void setOldDbRenameForTesting(std::function<bool(const QString& from, const QString& to)> rename)
{
    renameForTesting() = std::move(rename);
}

QStringList oldLocalDatabaseFolders()
{
    QStringList folders;
    for (const QDir& root : {localDatabasesDir(), QDir(dataFolderPath(DataFolder::OldLocalDatabases))}) {
        for (const QString& name : subfolderNames(root)) {
            const QDir folder(root.absoluteFilePath(name));
            if (QFileInfo(oldDbPath(folder)).isFile())
                folders.append(folder.absolutePath());
        }
    }
    return folders;
}

UpdateLocalDbThread::UpdateLocalDbThread(ProgressSink* progress, QObject* parent)
    : QThread(parent), m_progress(progress)
{
}

void UpdateLocalDbThread::run()
{
    runGuarded(
        m_progress,
        [this] {
            int withoutHandle = 0;
            for (const QString& path : oldLocalDatabaseFolders()) {
                const QDir source(path);
                ProgressSink::postUpdateProgress(
                    m_progress, tr("IDS_UPDATING_LOCALDB_%1_MESSAGES").arg(source.dirName()), 0, QString());
                withoutHandle += convertOldDb(source, QDir(localDatabasesDir().absoluteFilePath(source.dirName())))
                                     .withoutHandle;
                retireOldDb(source);
            }
            QString text = tr("IDS_SUC_UPDATE_LOCALDB");
            if (withoutHandle > 0)
                text += QStringLiteral("<br/><br/>") + tr("IDS_%1_OLD_MESSAGES_WITHOUT_ADDRESS").arg(withoutHandle);
            ProgressSink::postSucceed(m_progress, text);
        },
        [] {});
}

UpdateLocalDbThread::Result UpdateLocalDbThread::convertOldDb(const QDir& source, const QDir& target)
{
    Result result;
    if (!QFileInfo(oldDbPath(source)).isFile())
        return result;
    Sqlite3DB old;
    old.openThrow(oldDbPath(source), 2);
    const OldAttachments attachments = readAttachments(old);
    result.withoutHandle = countWithoutHandle(old);
    if (result.withoutHandle > 0)
        qWarning("old local database %s: %d messages without a handle row are not converted",
                 qUtf8Printable(source.absolutePath()), result.withoutHandle);
    Sqlite3Cursor rows = old.queryThrow(kMessagesSql);

    ExportMessagesDb exporter(target, QString());
    exporter.begin();
    OldDbConverter converter(source, exporter);
    const qint64 count = rows.count();
    ProgressThrottle throttle(count);
    while (rows.moveNext()) {
        ++result.messages;
        if (throttle.due(result.messages))
            ProgressSink::postUpdateProgress(m_progress, QString(), throttle.percent(), QString());
        converter.convert(rows, attachments.value(rows.getInt64(QStringLiteral("old_rowid"))));
    }
    exporter.end();
    return result;
}
