#include "export/logichashesahead.h"

#include "msgdb/msgutil.h"

namespace {

// Hashes made between two wake-ups of a waiting caller.
constexpr int kBatch = 256;

}  // namespace

LogicHashesAhead::LogicHashesAhead(const MsgMessageList& messages)
    : m_messages(messages), m_hashes(std::size_t(messages.size()))
{
    m_thread = std::thread([this] { make(); });
}

LogicHashesAhead::~LogicHashesAhead()
{
    m_stop = true;
    m_thread.join();
}

void LogicHashesAhead::make()
{
    const int n = m_messages.size();
    try {
        for (int i = 0; i < n && !m_stop.load(std::memory_order_relaxed); ++i) {
            m_hashes[std::size_t(i)] = messageLogicHash(m_messages.at(i));
            if ((i + 1) % kBatch == 0 || i + 1 == n) {
                const std::lock_guard<std::mutex> lock(m_mutex);
                m_made.store(i + 1, std::memory_order_release);
                m_madeMore.notify_one();
            }
        }
    } catch (...) {
        // Out of memory: the caller makes the rest itself.
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_gaveUp = true;
        m_madeMore.notify_one();
    }
}

const QString* LogicHashesAhead::take(const _MsgMessage* message)
{
    m_inOrder = m_inOrder && m_next < m_messages.size() && m_messages.at(m_next) == message;
    if (!m_inOrder)
        return nullptr;
    const int index = m_next++;
    if (m_made.load(std::memory_order_acquire) <= index) {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_madeMore.wait(lock, [&] { return m_made.load(std::memory_order_acquire) > index || m_gaveUp; });
        if (m_made.load(std::memory_order_acquire) <= index)
            return nullptr;
    }
    return &m_hashes[std::size_t(index)];
}
