#pragma once
// In-memory records for exporter and job tests, owned by one store.
#include "msgdb/records.h"

#include <QList>
#include <QString>

namespace exporttest {

class SampleRecords {
public:
    _MsgHandle* handle(qint64 rowid, const QString& id, const QString& contactName = QString(),
                       const QString& service = QStringLiteral("SMS"));
    // guid "<service>;-;<identifier>" for one member, "<service>;+;<identifier>" for more.
    _MsgChat* chat(qint64 rowid, const QString& identifier, const QList<_MsgHandle*>& members,
                   const QString& service = QStringLiteral("SMS"));
    // guid "M<rowid>"; added to chat's messages when chat is set.
    _MsgMessage* message(qint64 rowid, _MsgChat* chat, _MsgHandle* handle, int date, const QString& text,
                         bool fromMe = false);
    _MsgAttachment* attachment(_MsgMessage* message, qint64 rowid, const QString& filename,
                               const QString& localPath, const QString& mimeType = QStringLiteral("image/jpeg"));

    MsgMessageList messages() const { return m_messages; }
    _MsgStore& store() { return m_store; }

private:
    _MsgStore m_store;
    MsgMessageList m_messages;  // in creation order
};

// Writes content into a new file at path (making its folder); returns path.
QString writeFile(const QString& path, const QByteArray& content);
QByteArray readFile(const QString& path);

}  // namespace exporttest
