#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// The HTTP server's workers. An event stream holds its connection's thread for as long as it is
// open, so a fixed pool would stop answering once every thread watches a stream; this one starts
// another thread whenever all are busy, up to a generous cap.
class ElasticTaskQueue : public httplib::TaskQueue {
public:
    explicit ElasticTaskQueue(std::size_t maxThreads);
    ~ElasticTaskQueue() override;

    void enqueue(std::function<void()> job) override;
    void shutdown() override;

private:
    void work();

    const std::size_t m_maxThreads;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    std::vector<std::thread> m_threads;
    std::size_t m_idle = 0;
    bool m_stopping = false;
};
