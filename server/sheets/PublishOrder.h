#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>

// The order in which the changes of one tab are told. Changes are made one after another but become
// durable together, so their threads may finish in any order; each change takes a turn when it is
// made, and publishes only once every change before it has published or failed.
class PublishOrder {
public:
    // Called in the order the changes are made, under the tab's mutex.
    std::uint64_t take();
    // Blocks until every turn taken before this one has ended.
    void waitTurn(std::uint64_t turn);
    // Ends a turn, after waitTurn(turn).
    void end(std::uint64_t turn);
    // Blocks until every turn taken so far has ended.
    void waitAll();

private:
    std::mutex m_mutex;
    std::condition_variable m_ended;
    std::uint64_t m_taken = 0;
    std::uint64_t m_next = 0; // the turn that may publish now
};
