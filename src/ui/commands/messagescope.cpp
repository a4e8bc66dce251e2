#include "ui/commands/messagescope.h"

#include "ui/commands/commandcontext.h"
#include "ui/itemmodelmain.h"
#include "ui/itemmodelsms.h"

#include <QSet>

CommandScope MessageScope::resolve(ScopeRequest request) const
{
    switch (request) {
    case ScopeRequest::Selection:
        return CommandScope::Selection;
    case ScopeRequest::Chat:
        return CommandScope::Chat;
    case ScopeRequest::All:
        return CommandScope::All;
    case ScopeRequest::ByRule:
        break;
    }
    return commandScope(m_context.hasMessageSelection(), m_context.currentTreeNode());
}

void MessageScope::run(ScopeRequest request, const Work& work) const
{
    switch (resolve(request)) {
    case CommandScope::Selection:
        work(ofCurrentStore(m_context.selectedMessages()));
        break;
    case CommandScope::Chat:
        work(ofCurrentStore(m_context.smsModel()->messages()));
        break;
    case CommandScope::All: {
        const MsgMessageList messages = m_context.currentDbMessages();
        if (!messages.isEmpty())
            work(messages);
        break;
    }
    case CommandScope::None:
        break;
    }
}

MsgMessageList MessageScope::ofCurrentStore(const MsgMessageList& list) const
{
    const _AbsDBItemNode* node = ItemModelMain::databaseNodeOf(m_context.currentTreeNode());
    if (!node)
        return {};
    const QList<_MsgMessage*> owned = node->store.data()->messages.values();
    const QSet<const _MsgMessage*> ownedSet(owned.cbegin(), owned.cend());
    MsgMessageList result;
    for (_MsgMessage* message : list) {
        if (ownedSet.contains(message))
            result.append(message);
    }
    return result;
}
