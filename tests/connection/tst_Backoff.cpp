#include "connection/Backoff.h"

#include <QTest>

#include <limits>
#include <optional>

namespace {
Backoff::Random lowest() {
    return [](double lower, double) { return lower; };
}
} // namespace

class TestBackoff : public QObject {
    Q_OBJECT
private Q_SLOTS:
    void sequence_data() {
        QTest::addColumn<bool>("upperBound");
        QTest::addColumn<QList<double>>("expected");
        QTest::newRow("lower bound of the jitter") << false << QList<double>{0.25, 0.5, 1, 2, 4, 5, 5, 5};
        QTest::newRow("upper bound of the jitter") << true << QList<double>{0.5, 1, 2, 4, 8, 10, 10, 10};
    }

    void sequence() {
        QFETCH(bool, upperBound);
        QFETCH(QList<double>, expected);
        Backoff backoff(upperBound ? Backoff::Random([](double, double upper) { return upper; }) : lowest());
        QList<double> delays;
        for (qsizetype i = 0; i < expected.size(); ++i)
            delays.append(backoff.next());
        QCOMPARE(delays, expected);
    }

    void retryAfter_data() {
        QTest::addColumn<std::optional<double>>("retryAfter");
        QTest::addColumn<double>("expected");
        // The first delay with the lower-bound random source is 0.25 s.
        QTest::newRow("longer than the delay") << std::optional<double>(120) << 120.0;
        QTest::newRow("capped at five minutes") << std::optional<double>(900) << 300.0;
        QTest::newRow("zero is ignored") << std::optional<double>(0) << 0.25;
        QTest::newRow("negative is ignored") << std::optional<double>(-5) << 0.25;
        QTest::newRow("absent") << std::optional<double>() << 0.25;
        QTest::newRow("shorter than the delay") << std::optional<double>(0.1) << 0.25;
        QTest::newRow("not a number is ignored")
            << std::optional<double>(std::numeric_limits<double>::quiet_NaN()) << 0.25;
    }

    void retryAfter() {
        QFETCH(std::optional<double>, retryAfter);
        QFETCH(double, expected);
        Backoff backoff(lowest());
        QCOMPARE(backoff.next(retryAfter), expected);
        // A Retry-After still counts as an attempt: the next delay grows as usual.
        QCOMPARE(backoff.next(), 0.5);
    }

    void endOfConnection_data() {
        QTest::addColumn<std::optional<double>>("openedAt");
        QTest::addColumn<double>("endedAt");
        QTest::addColumn<int>("attemptAfter");
        QTest::newRow("stable for 6 s resets") << std::optional<double>(100) << 106.0 << 0;
        QTest::newRow("exactly 5 s does not") << std::optional<double>(100) << 105.0 << 3;
        QTest::newRow("never opened does not") << std::optional<double>() << 1000.0 << 3;
    }

    void endOfConnection() {
        QFETCH(std::optional<double>, openedAt);
        QFETCH(double, endedAt);
        QFETCH(int, attemptAfter);
        Backoff backoff(lowest());
        for (int i = 0; i < 3; ++i)
            backoff.next();
        if (openedAt)
            backoff.opened(*openedAt);
        backoff.ended(endedAt);
        QCOMPARE(backoff.attempt(), attemptAfter);
        // The opening is used up: a later end must not count it again.
        QCOMPARE(backoff.openedAt(), std::optional<double>());
    }

    // A random source that strays outside its range must not give a negative or runaway delay.
    void strayRandomSourceIsKeptInRange() {
        QCOMPARE(Backoff([](double, double) { return -3.0; }).next(), 0.25);
        QCOMPARE(Backoff([](double, double) { return 1e9; }).next(), 0.5);
    }
};

QTEST_GUILESS_MAIN(TestBackoff)
#include "tst_Backoff.moc"
