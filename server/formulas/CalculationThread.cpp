#include "formulas/CalculationThread.h"

#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

// A thread with the large stack that runs one piece of work after another. Between two, the
// pages the last one touched deep in the stack go back to the system.
class Worker {
public:
    Worker() {
        pthread_attr_t attributes;
        pthread_attr_init(&attributes);
        // Only the pages the work touches are ever backed by memory.
        pthread_attr_setstacksize(&attributes, CalculationThread::stackBytes);
        const int error = pthread_create(&m_thread, &attributes, &Worker::main, this);
        pthread_attr_destroy(&attributes);
        if (error != 0)
            throw std::runtime_error(std::string("cannot start a calculation thread: ") + std::strerror(error));
    }
    ~Worker() {
        {
            std::lock_guard lock(m_mutex);
            m_quit = true;
        }
        m_wake.notify_one();
        pthread_join(m_thread, nullptr);
    }
    Worker(const Worker &) = delete;
    Worker &operator=(const Worker &) = delete;

    // Runs `work` on this thread; what it threw, if anything.
    std::exception_ptr run(const std::function<void()> &work) {
        std::unique_lock lock(m_mutex);
        m_work = &work;
        m_failure = nullptr;
        m_wake.notify_one();
        m_done.wait(lock, [this] { return m_work == nullptr; });
        return m_failure;
    }

private:
    static void *main(void *self) {
        static_cast<Worker *>(self)->loop();
        return nullptr;
    }

    void loop() {
        std::unique_lock lock(m_mutex);
        while (true) {
            m_wake.wait(lock, [this] { return m_quit || m_work; });
            if (!m_work)
                return;
            lock.unlock();
            std::exception_ptr failure;
            try {
                (*m_work)();
            } catch (...) {
                failure = std::current_exception();
            }
            releaseDeepStack();
            lock.lock();
            m_failure = failure;
            m_work = nullptr;
            m_done.notify_one();
        }
    }

    // Everything of the stack below this frame but a little is unused now.
    void releaseDeepStack() {
        pthread_attr_t attributes;
        if (pthread_getattr_np(pthread_self(), &attributes) != 0)
            return;
        void *low = nullptr;
        std::size_t size = 0;
        pthread_attr_getstack(&attributes, &low, &size);
        pthread_attr_destroy(&attributes);
        const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
        const auto bottom = reinterpret_cast<std::uintptr_t>(low);
        const auto here = reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0));
        const std::uintptr_t keep = 256 * 1024;
        if (here < bottom + keep + page)
            return;
        const std::uintptr_t end = (here - keep) & ~(page - 1);
        ::madvise(low, end - bottom, MADV_DONTNEED);
    }

    pthread_t m_thread{};
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    const std::function<void()> *m_work = nullptr;
    std::exception_ptr m_failure;
    bool m_quit = false;
};

// Workers between calculations, a few kept so that a write does not start a thread each time.
class Workers {
public:
    static constexpr std::size_t keptIdle = 16;

    std::unique_ptr<Worker> take() {
        {
            std::lock_guard lock(m_mutex);
            if (!m_idle.empty()) {
                auto worker = std::move(m_idle.back());
                m_idle.pop_back();
                return worker;
            }
        }
        return std::make_unique<Worker>();
    }

    void give(std::unique_ptr<Worker> worker) {
        {
            std::lock_guard lock(m_mutex);
            if (m_idle.size() < keptIdle) {
                m_idle.push_back(std::move(worker));
                return;
            }
        }
        // Ended outside the lock: joining waits for the thread.
        worker.reset();
    }

private:
    std::mutex m_mutex;
    std::vector<std::unique_ptr<Worker>> m_idle;
};

Workers &workers() {
    static Workers instance;
    return instance;
}

} // namespace

void CalculationThread::run(const std::function<void()> &work) {
    auto worker = workers().take();
    const std::exception_ptr failure = worker->run(work);
    workers().give(std::move(worker));
    if (failure)
        std::rethrow_exception(failure);
}
