#include "formulas/CalculationThread.h"

#include <pthread.h>

#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>

namespace {

struct Task {
    const std::function<void()> *work = nullptr;
    std::exception_ptr failure;
};

void *runTask(void *argument) {
    auto *task = static_cast<Task *>(argument);
    try {
        (*task->work)();
    } catch (...) {
        task->failure = std::current_exception();
    }
    return nullptr;
}

} // namespace

void CalculationThread::run(const std::function<void()> &work) {
    Task task{&work, nullptr};
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    // Only the pages the work touches are ever backed by memory.
    pthread_attr_setstacksize(&attributes, stackBytes);
    pthread_t thread;
    const int error = pthread_create(&thread, &attributes, runTask, &task);
    pthread_attr_destroy(&attributes);
    if (error != 0)
        throw std::runtime_error(std::string("cannot start a calculation thread: ") + std::strerror(error));
    pthread_join(thread, nullptr);
    if (task.failure)
        std::rethrow_exception(task.failure);
}
