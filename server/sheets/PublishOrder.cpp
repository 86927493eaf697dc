#include "sheets/PublishOrder.h"

std::uint64_t PublishOrder::take() {
    std::lock_guard lock(m_mutex);
    return m_taken++;
}

void PublishOrder::waitTurn(std::uint64_t turn) {
    std::unique_lock lock(m_mutex);
    m_ended.wait(lock, [&] { return m_next == turn; });
}

void PublishOrder::end(std::uint64_t turn) {
    {
        std::lock_guard lock(m_mutex);
        m_next = turn + 1;
    }
    m_ended.notify_all();
}

void PublishOrder::waitAll() {
    std::unique_lock lock(m_mutex);
    m_ended.wait(lock, [&] { return m_next == m_taken; });
}
