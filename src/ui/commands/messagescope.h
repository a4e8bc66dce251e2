#pragma once
// The messages a command on messages acts on: those the scope rule picks (commandScope) or one scope
// asked for outright, and only ever records of the current node's database.
#include "msgdb/records.h"
#include "ui/jobrunner.h"

#include <functional>

class CommandContext;

// What a command was asked to act on.
enum class ScopeRequest {
    ByRule,     // whatever commandScope picks for the selection and the current node
    Selection,
    Chat,
    All,
};

class MessageScope {
public:
    // Takes the list by value; the records stay owned by the database node's store.
    using Work = std::function<void(MsgMessageList)>;

    explicit MessageScope(CommandContext& context) : m_context(context) {}

    CommandScope resolve(ScopeRequest request) const;
    // Runs work on the messages of the resolved scope; not at all for None, nor for an empty or
    // unreadable database.
    void run(ScopeRequest request, const Work& work) const;
    // The messages of list that belong to the store of the current node's database: commands never
    // act on records of another source.
    MsgMessageList ofCurrentStore(const MsgMessageList& list) const;

private:
    CommandContext& m_context;
};
