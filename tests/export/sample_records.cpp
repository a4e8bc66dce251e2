#include "export/sample_records.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace exporttest {

_MsgHandle* SampleRecords::handle(qint64 rowid, const QString& id, const QString& contactName, const QString& service)
{
    auto* h = new _MsgHandle;
    h->rowid = rowid;
    h->id = id;
    h->contactName = contactName;
    h->service = service;
    m_store.data()->handles.insert(rowid, h);
    return h;
}

_MsgChat* SampleRecords::chat(qint64 rowid, const QString& identifier, const QList<_MsgHandle*>& members,
                              const QString& service)
{
    auto* c = new _MsgChat;
    c->rowid = rowid;
    c->chat_identifier = identifier;
    c->service_name = service;
    c->style = members.size() > 1 ? 43 : 45;
    c->guid = QStringLiteral("%1;%2;%3").arg(service, members.size() > 1 ? "+" : "-", identifier);
    for (_MsgHandle* member : members)
        c->handles.insert(member->rowid, member);
    m_store.data()->chats.insert(rowid, c);
    return c;
}

_MsgMessage* SampleRecords::message(qint64 rowid, _MsgChat* chat, _MsgHandle* handle, int date, const QString& text,
                                    bool fromMe)
{
    auto* m = new _MsgMessage;
    m->rowid = rowid;
    m->guid = QStringLiteral("M%1").arg(rowid);
    m->chat = chat;
    m->handle = handle;
    m->handle_id = handle ? handle->rowid : 0;
    m->date = date;
    m->sortKey = rowid;
    m->text = text;
    m->is_from_me = fromMe ? 1 : 0;
    m->service = chat ? chat->service_name : QStringLiteral("SMS");
    if (chat) {
        chat->messages.insert(rowid, m);
        chat->last = qMax(chat->last, date);
    }
    m_store.data()->messages.insert(rowid, m);
    m_messages.append(m);
    return m;
}

_MsgAttachment* SampleRecords::attachment(_MsgMessage* message, qint64 rowid, const QString& filename,
                                          const QString& localPath, const QString& mimeType)
{
    auto* a = new _MsgAttachment;
    a->rowid = rowid;
    a->guid = QStringLiteral("A%1").arg(rowid);
    a->filename = filename;
    a->localPath = localPath;
    a->mime_type = mimeType;
    message->attachments.insert(rowid, a);
    m_store.data()->attachments.insert(rowid, a);
    return a;
}

QString writeFile(const QString& path, const QByteArray& content)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(content);
    return path;
}

QByteArray readFile(const QString& path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

}  // namespace exporttest
