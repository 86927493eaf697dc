#include "connection/Backoff.h"

#include <QTest>

#include <cmath>
#include <limits>
#include <optional>
#include <utility>
#include <vector>

namespace {
Backoff::Random lowest() {
    return [](double lower, double) { return lower; };
}
Backoff::Random highest() {
    return [](double, double upper) { return upper; };
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
        Backoff backoff(upperBound ? highest() : lowest());
        QList<double> delays;
        for (qsizetype i = 0; i < expected.size(); ++i)
            delays.append(backoff.next());
        QCOMPARE(delays, expected);
    }

    void jitterIsDrawnBetweenHalfAndWholeOfTheBase() {
        std::vector<std::pair<double, double>> ranges;
        Backoff backoff([&ranges](double lower, double upper) {
            ranges.emplace_back(lower, upper);
            return lower;
        });
        for (int i = 0; i < 6; ++i)
            backoff.next();
        const std::vector<std::pair<double, double>> expected{{0.25, 0.5}, {0.5, 1}, {1, 2},
                                                              {2, 4},      {4, 8},   {5, 10}};
        QCOMPARE(ranges, expected);
    }

    // Many failures in a row must neither overflow the attempt count nor exceed the cap.
    void attemptStopsAt32() {
        Backoff backoff(highest());
        double last = 0;
        for (int i = 0; i < 200; ++i)
            last = backoff.next();
        QCOMPARE(backoff.attempt(), 32);
        QCOMPARE(last, 10.0);
    }

    void retryAfter_data() {
        QTest::addColumn<std::optional<double>>("retryAfter");
        QTest::addColumn<double>("expected");
        QTest::addColumn<int>("attempt");
        // The first delay with the lower-bound random source is 0.25 s.
        QTest::newRow("longer than the delay") << std::optional<double>(120) << 120.0 << 1;
        QTest::newRow("capped at five minutes") << std::optional<double>(900) << 300.0 << 1;
        QTest::newRow("exactly the cap") << std::optional<double>(300) << 300.0 << 1;
        QTest::newRow("zero is ignored") << std::optional<double>(0) << 0.25 << 1;
        QTest::newRow("negative is ignored") << std::optional<double>(-5) << 0.25 << 1;
        QTest::newRow("absent") << std::optional<double>() << 0.25 << 1;
        QTest::newRow("shorter than the delay") << std::optional<double>(0.1) << 0.25 << 1;
        QTest::newRow("not a number is ignored")
            << std::optional<double>(std::numeric_limits<double>::quiet_NaN()) << 0.25 << 1;
        QTest::newRow("infinity is capped")
            << std::optional<double>(std::numeric_limits<double>::infinity()) << 300.0 << 1;
    }

    void retryAfter() {
        QFETCH(std::optional<double>, retryAfter);
        QFETCH(double, expected);
        QFETCH(int, attempt);
        Backoff backoff(lowest());
        QCOMPARE(backoff.next(retryAfter), expected);
        // A Retry-After still counts as an attempt: the next delay grows as usual.
        QCOMPARE(backoff.attempt(), attempt);
        QCOMPARE(backoff.next(), 0.5);
    }

    void endOfConnection_data() {
        QTest::addColumn<std::optional<double>>("openedAt");
        QTest::addColumn<double>("endedAt");
        QTest::addColumn<int>("attemptAfter");
        QTest::newRow("stable for 6 s resets") << std::optional<double>(100) << 106.0 << 0;
        QTest::newRow("exactly 5 s does not") << std::optional<double>(100) << 105.0 << 3;
        QTest::newRow("short connection does not") << std::optional<double>(100) << 101.0 << 3;
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
        QCOMPARE(backoff.openedAt(), std::optional<double>());
    }

    // The opening time is consumed by the end of the connection: a second end long after must not
    // count the old opening again.
    void endForgetsTheOpening() {
        Backoff backoff(lowest());
        backoff.opened(100);
        backoff.ended(101);
        backoff.next();
        backoff.next();
        backoff.ended(500);
        QCOMPARE(backoff.attempt(), 2);
        backoff.reset();
        QCOMPARE(backoff.next(), 0.25);
    }

    void strayRandomSourceIsKeptInRange_data() {
        QTest::addColumn<double>("drawn");
        QTest::addColumn<double>("expected");
        QTest::newRow("below") << -3.0 << 0.25;
        QTest::newRow("above") << 1e9 << 0.5;
        QTest::newRow("not a number") << std::numeric_limits<double>::quiet_NaN() << 0.25;
    }

    void strayRandomSourceIsKeptInRange() {
        QFETCH(double, drawn);
        QFETCH(double, expected);
        Backoff backoff([drawn](double, double) { return drawn; });
        QCOMPARE(backoff.next(), expected);
    }

    void systemRandomStaysInRange() {
        const Backoff::Random random = Backoff::systemRandom();
        for (int i = 0; i < 1000; ++i) {
            const double value = random(2.0, 4.0);
            QVERIFY2(value >= 2.0 && value <= 4.0, qPrintable(QString::number(value)));
        }
    }
};

QTEST_GUILESS_MAIN(TestBackoff)
#include "tst_Backoff.moc"
