#pragma once
// The content hashes (messageLogicHash) of a list of messages, made in order on a thread of their
// own while the caller writes the messages one after another: the caller takes each hash when it
// comes to its message, waiting only if it overtook the thread.
#include "msgdb/records.h"

#include <QString>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

class LogicHashesAhead {
public:
    // messages must stay as they are until destruction.
    explicit LogicHashesAhead(const MsgMessageList& messages);
    ~LogicHashesAhead();  // stops the thread
    LogicHashesAhead(const LogicHashesAhead&) = delete;
    LogicHashesAhead& operator=(const LogicHashesAhead&) = delete;

    // The hash of message when it is the next one of the list (each is taken once, in order);
    // nullptr for any other message, for every message after one out of order, and for those the
    // thread could not make.
    const QString* take(const _MsgMessage* message);

private:
    void make();

    const MsgMessageList m_messages;
    std::vector<QString> m_hashes;
    int m_next = 0;  // the caller's
    bool m_inOrder = true;
    std::atomic<int> m_made{0};
    std::atomic<bool> m_stop{false};
    std::mutex m_mutex;
    bool m_gaveUp = false;  // under m_mutex
    std::condition_variable m_madeMore;
    std::thread m_thread;
};
