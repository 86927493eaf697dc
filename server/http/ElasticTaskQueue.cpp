#include "http/ElasticTaskQueue.h"

ElasticTaskQueue::ElasticTaskQueue(std::size_t maxThreads) : m_maxThreads(maxThreads) {}

ElasticTaskQueue::~ElasticTaskQueue() {
    shutdown();
}

void ElasticTaskQueue::enqueue(std::function<void()> job) {
    std::lock_guard lock(m_mutex);
    m_jobs.push_back(std::move(job));
    if (m_jobs.size() > m_idle && m_threads.size() < m_maxThreads)
        m_threads.emplace_back([this] { work(); });
    else
        m_wake.notify_one();
}

void ElasticTaskQueue::shutdown() {
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(m_mutex);
        m_stopping = true;
        threads.swap(m_threads);
    }
    m_wake.notify_all();
    for (auto &thread : threads)
        thread.join();
}

void ElasticTaskQueue::work() {
    while (true) {
        std::function<void()> job;
        {
            std::unique_lock lock(m_mutex);
            ++m_idle;
            m_wake.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
            --m_idle;
            if (m_jobs.empty())
                return; // stopping, and nothing left to do
            job = std::move(m_jobs.front());
            m_jobs.pop_front();
        }
        job();
    }
}
