#include "ui/commands/importcommands.h"

#include "core/releaseaside.h"
#include "flows/deviceflows.h"
#include "flows/stepjob.h"
#include "msgdb/messagedbfolder.h"
#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"

#include <QScopeGuard>

void ImportCommands::runImportItunes()
{
    m_flow.importBackup(QString());
}

void ImportCommands::runImportToLocalDb()
{
    const AbsTreeItemModel::_ItemNode* node = m_context.currentTreeNode();
    if (node && node->type == kNodeLocalDb)
        m_flow.importBackup(node->name);
}

void ImportCommands::runBackup(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { backupMessages(messages); });
}

void ImportCommands::runExportToITunesBackup(ScopeRequest request)
{
    m_scope.run(request, [this](MsgMessageList messages) { exportToITunesBackup(messages); });
}

void ImportCommands::exportToITunesBackup(MsgMessageList messages)
{
    const _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the merge runs
    WriteBack(m_prompts).intoBackup(messages);
}

QStringList ImportCommands::names() const
{
    QStringList names;
    for (const auto& child : m_context.mainModel()->localDbRoot()->children) {
        if (child->type == kNodeLocalDb)
            names << child->name;
    }
    return names;
}

_AbsDBItemNode* ImportCommands::localDbNamed(const QString& name) const
{
    for (const auto& child : m_context.mainModel()->localDbRoot()->children) {
        if (child->type == kNodeLocalDb && child->name.compare(name, Qt::CaseInsensitive) == 0)
            return static_cast<_AbsDBItemNode*>(child.get());
    }
    return nullptr;
}

void ImportCommands::release(const QString& name)
{
    _AbsDBItemNode* node = localDbNamed(name);
    if (node && node->db)
        node->db->close();  // the job writes through a connection of its own
}

void ImportCommands::written(const QString& name, const QString& folder)
{
    _AbsDBItemNode* node = localDbNamed(name);
    if (!node)
        node = m_context.mainModel()->addLocalDb(makeLocalMessageDb(folder), name);
    reloadDatabaseNode(node);
}

void ImportCommands::reloadDatabaseNode(_AbsDBItemNode* node)
{
    m_context.releaseCurrentIfWithin(node);
    m_context.mainModel()->removeChildren(node);
    // A fresh store: records of the old one may still be held by whoever read them. A database of a
    // million messages takes seconds to read and to let go of: the read runs on a job, and the old
    // records are freed on a worker. The step has no status: the copy's would say the backup is still
    // going, and a cancel here undoes nothing of it.
    releaseAside(std::move(node->store));
    node->store = _MsgStore();
    _MsgStore fresh;
    const QSharedPointer<AbsMessageDb> db = node->db;
    const bool read = runStep(m_prompts, QString(), [&db, &fresh](const StepJob::Cancelled& cancelled) {
        db->setCancelCheck(cancelled);
        const auto uncheck = qScopeGuard([&db] { db->setCancelCheck({}); });
        db->messages(fresh, 0);
    });
    if (!read) {
        releaseAside(std::move(fresh));
        return;
    }
    node->store = fresh;
    m_context.mainModel()->loadChats(node);
    m_context.selectTreeNode(node);
}

void ImportCommands::backupMessages(MsgMessageList messages)
{
    _AbsDBItemNode* source = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!source)
        return;
    const _MsgStore keepAlive = source->store;  // the source node may go while the copy runs
    m_flow.copyToLocalDb(backupNameFor(source->name), messages);
}
