#include "async/CancellableSleep.h"
#include "async/CancellationError.h"
#include "async/CancellationSource.h"
#include "async/DetachedTask.h"

#include "TaskRunner.h"

#include <QTest>
#include <QTimer>

using namespace std::chrono_literals;

class TestCancellation : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void callbacksRunOnceAndOnlyWhileRegistered() {
        int calls = 0, kept = 0, dropped = 0, late = 0, second = 0;
        CancellationToken never;
        auto unused = never.onCancel([&] { ++calls; });
        QVERIFY(!never.isCancelled());
        CancellationSource source;
        auto keep = source.token().onCancel([&] { ++kept; });
        {
            auto drop = source.token().onCancel([&] { ++dropped; });
        }
        // A callback may drop another registration before it runs.
        std::optional<CancellationRegistration> other;
        auto first = source.token().onCancel([&] { other.reset(); });
        other.emplace(source.token().onCancel([&] { ++second; }));
        source.cancel();
        source.cancel();
        QCOMPARE(std::tuple(calls, kept, dropped, second), std::tuple(0, 1, 0, 0));
        QVERIFY(source.token().isCancelled());
        QVERIFY_THROWS_EXCEPTION(CancellationError, source.token().throwIfCancelled());
        // Registering after cancellation runs the callback at once.
        auto lateRegistration = source.token().onCancel([&] { ++late; });
        QCOMPARE(late, 1);
    }

    // A sleep runs its time (a shorter timer fires first) unless cancelled before or during it.
    void sleep() {
        bool shorterFired = false;
        QTimer::singleShot(10ms, [&] { shorterFired = true; });
        runTask(sleepFor(30ms, CancellationToken()));
        QVERIFY(shorterFired);
        CancellationSource source;
        QTimer::singleShot(20ms, [&] { source.cancel(); });
        QTimer longer;
        longer.start(5s);
        QVERIFY_THROWS_EXCEPTION(CancellationError, runTask(sleepFor(10s, source.token())));
        QVERIFY(longer.isActive()); // ended by the cancel, well before its time
        QVERIFY_THROWS_EXCEPTION(CancellationError, runTask(sleepFor(10s, source.token())));
    }

    void detachedTaskKeepsOwnerAliveAndReportsEscapes() {
        QStringList reported;
        setEscapedErrorHandler([&](std::exception_ptr e) {
            try {
                std::rethrow_exception(e);
            } catch (const std::exception &x) {
                reported.append(x.what());
            }
        });
        struct Owner {
            bool *destroyed;
            ~Owner() { *destroyed = true; }
        };
        bool destroyed = false;
        auto owner = std::make_shared<Owner>(&destroyed);
        startDetached(owner, [raw = owner.get()]() -> QCoro::Task<> {
            co_await sleepFor(20ms, CancellationToken());
            // Still alive after the suspension, although the caller dropped its reference.
            throw std::runtime_error(*raw->destroyed ? "resumed into a destroyed owner" : "boom");
        });
        owner.reset();
        QVERIFY(!destroyed);
        QTRY_VERIFY_WITH_TIMEOUT(destroyed, 5000);
        QCOMPARE(reported, QStringList{"boom"});
        // Cancellation is a silent stop.
        startDetached(std::make_shared<int>(1), []() -> QCoro::Task<> {
            co_await sleepFor(1ms, CancellationToken());
            throw CancellationError();
        });
        QTest::qWait(50);
        QCOMPARE(reported.size(), 1);
        setEscapedErrorHandler({});
    }
};

QTEST_GUILESS_MAIN(TestCancellation)
#include "tst_Cancellation.moc"
