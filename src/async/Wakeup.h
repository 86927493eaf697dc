#pragma once

#include <QObject>

// Emits woken() once, whichever comes first of the events connected to wake(). Lets a coroutine
// wait for "this signal, or that timer, or cancellation" with a single co_await on woken().
class Wakeup : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    void wake() { Q_EMIT woken(); }

Q_SIGNALS:
    void woken();
};
