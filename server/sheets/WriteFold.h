#pragma once

#include <condition_variable>
#include <mutex>
#include <vector>

// The cell writes of one tab waiting to be made. Rather than each taking the tab in turn, with a
// thread switch at every handover, the thread that gets to lead takes every write waiting and makes
// them one after another; the others sleep once, until their write is answered. A leader that has
// made its writes hands the lead to the first write that arrived meanwhile.
class WriteFold {
public:
    struct Entry {
        bool lead = false; // this entry's thread makes the waiting writes
        bool done = false; // the write is answered
        std::condition_variable wake;
    };

    // Queues the entry. Returns true when its thread is to lead, false once the write is done.
    bool join(Entry &entry);
    // For the leader: every entry waiting, in the order they came.
    std::vector<Entry *> take();
    // For the leader, after making what it took: the first entry that came since leads next.
    void handOff();
    // For the leader: the entry's write is answered; its thread goes on.
    void done(Entry &entry);

private:
    std::mutex m_mutex;
    std::vector<Entry *> m_waiting;
    bool m_leading = false;
};
