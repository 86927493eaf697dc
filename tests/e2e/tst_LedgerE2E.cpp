// Three clients edit one sheet while the network between them and tabrel-server misbehaves and the
// server restarts. Each client keeps a ledger of what the server confirmed; at the end the server
// holds exactly that, each client's failed writes are exactly those not confirmed, and every
// watching client shows the server's grid. The schedule of edits and faults follows from one
// number: TABREL_SCHEDULE (CI runs a fixed one; scripts/soak runs random ones), and the editing
// lasts TABREL_LEDGER_SECONDS (default 15).
#include "E2eAccount.h"
#include "FaultProxy.h"
#include "TaskRunner.h"

#include <QCoroTimer>
#include <QDeadlineTimer>
#include <QTest>

#include <random>

namespace {
using Grid = QHash<Coordinate, QString>; // non-empty raw texts

Grid rawTexts(const CellMap &cells) {
    Grid grid;
    cells.forEach([&grid](const Cell &cell) {
        if (!cell.raw.isEmpty())
            grid.insert(cell.coordinate(), cell.raw);
    });
    return grid;
}

QString describe(const QList<CellWrite> &writes) {
    QStringList parts;
    for (const CellWrite &write : writes)
        parts.append(Coordinate{write.r, write.c}.ref() + u'=' + write.raw);
    return u'[' + parts.join(u", ") + u']';
}

int environmentNumber(const char *name, int fallback) {
    bool ok = false;
    const int value = qEnvironmentVariableIntValue(name, &ok);
    return ok ? value : fallback;
}

struct Client {
    int index = 0;
    std::shared_ptr<SheetModel> model;
    std::shared_ptr<CancellationSource> stopWatching;
    Grid confirmed; // the ledger: the last confirmed text of every cell this client wrote
    int edits = 0, failed = 0;

    void confirm(const QList<CellWrite> &writes) {
        for (const CellWrite &write : writes)
            confirmed.insert({write.r, write.c}, write.raw);
    }
};

FaultProxy::Fault drawFault(std::mt19937 &random) {
    using Kind = FaultProxy::Fault::Kind;
    const auto between = [&random](int low, int high) {
        return std::uniform_int_distribution<int>(low, high)(random);
    };
    switch (between(0, 9)) {
    case 0:
        return {Kind::dropAfter, between(1, 3000)};
    case 1:
        return {Kind::resetAfter, between(1, 3000)};
    case 2:
        return {.kind = Kind::stall, .millis = between(100, 1500)};
    case 3:
        return {.kind = Kind::trickle, .bytes = between(8, 256), .millis = between(1, 5)};
    case 4:
        return {.kind = Kind::refuse, .status = between(0, 1) ? 429 : 503, .retryAfter = 1};
    default:
        return {};
    }
}
} // namespace

class TestLedgerE2E : public QObject {
    Q_OBJECT

    // One client's edits: retry what failed, else write one to three of its own cells. Every
    // answer is checked against the ledger as it comes.
    static QCoro::Task<> edit(Client &client, unsigned schedule, QDeadlineTimer deadline, QString &problem) {
        std::mt19937 random(schedule * 31 + unsigned(client.index));
        const auto between = [&random](int low, int high) {
            return std::uniform_int_distribution<int>(low, high)(random);
        };
        while (!deadline.hasExpired() && problem.isEmpty()) {
            co_await QCoro::sleepFor(std::chrono::milliseconds(between(0, 120)));
            const QList<CellWrite> pending = client.model->failedWrites();
            if (!pending.isEmpty()) {
                co_await client.model->retryWrites();
                if (client.model->failedWrites().isEmpty())
                    client.confirm(pending);
                else if (client.model->failedWrites() != pending)
                    problem = QStringLiteral("client %1 retried %2 and now holds %3")
                                  .arg(client.index)
                                  .arg(describe(pending), describe(client.model->failedWrites()));
                continue;
            }
            // Each client owns three columns, so that the last confirmed text of a cell is known.
            QList<CellWrite> writes;
            const int count = between(1, 3);
            for (int i = 0; i < count; ++i) {
                const CellWrite write{between(0, 9), client.index * 3 + between(0, 2),
                                      QStringLiteral("c%1 e%2.%3").arg(client.index).arg(client.edits).arg(i),
                                      std::nullopt, std::nullopt};
                if (std::none_of(writes.cbegin(), writes.cend(),
                                 [&write](const CellWrite &w) { return w.r == write.r && w.c == write.c; }))
                    writes.append(write);
            }
            ++client.edits;
            const bool saved = co_await client.model->write(writes, false);
            if (saved && client.model->failedWrites().isEmpty()) {
                client.confirm(writes);
            } else if (saved || client.model->failedWrites() != writes) {
                problem = QStringLiteral("client %1 wrote %2 (%3) and holds %4 as failed")
                              .arg(client.index)
                              .arg(describe(writes), saved ? "confirmed" : "refused",
                                   describe(client.model->failedWrites()));
            } else {
                ++client.failed;
            }
        }
    }

private Q_SLOTS:
    void editsUnderFaultsLoseNothing() {
        const auto schedule = unsigned(environmentNumber("TABREL_SCHEDULE", 7));
        const int seconds = environmentNumber("TABREL_LEDGER_SECONDS", 15);
        std::mt19937 random(schedule);
        // The clients reach the server only through the proxy.
        E2eAccount account;
        QVERIFY2(account.ok(), qPrintable(account.error()));
        FaultProxy proxy(quint16(account.server().port()));
        QVERIFY(proxy.listen());
        const QUrl proxyOrigin(QStringLiteral("http://127.0.0.1:%1").arg(proxy.port()));
        proxy.setOriginRewrite("Origin: " + proxyOrigin.toEncoded(),
                               "Origin: " + account.origin().toEncoded());
        const auto sheet = account.createSheet();
        QVERIFY(sheet);
        const auto throughProxy = [&] { return NativeHTTP::create(proxyOrigin, account.nativeSession()); };
        std::vector<Client> clients(3);
        for (int i = 0; i < 3; ++i) {
            Client &client = clients[std::size_t(i)];
            client.index = i;
            client.model = account.model(throughProxy());
            runTask(client.model->open(*sheet));
            QCOMPARE(client.model->error(), QString());
            client.stopWatching = startWatching(client.model);
        }
        // Faults from here on; the server restarts now and then.
        proxy.setChooser([&random] { return drawFault(random); });
        QString problem;
        const QDeadlineTimer deadline(std::chrono::seconds{seconds});
        // Now and then, on a schedule of its own: the server restarts; every open connection breaks
        // at once, in the middle of whatever it carries.
        const auto everySoOften = [&](unsigned offset, int low, int high,
                                      std::function<bool()> act) -> QCoro::Task<> {
            std::mt19937 own(schedule + offset);
            while (problem.isEmpty() && !deadline.hasExpired()) {
                co_await QCoro::sleepFor(
                    std::chrono::milliseconds(std::uniform_int_distribution<int>(low, high)(own)));
                if (!deadline.hasExpired() && !act())
                    co_return;
            }
        };
        int restarts = 0, blips = 0;
        auto restarter = everySoOften(1000, 2000, 6000, [&] {
            if (!account.server().restart())
                problem = QStringLiteral("the server did not restart: ") + account.server().errorString();
            ++restarts;
            return problem.isEmpty();
        });
        auto blipper = everySoOften(2000, 300, 1500, [&] {
            proxy.dropAll();
            ++blips;
            return true;
        });
        auto editing = [&]() -> QCoro::Task<> {
            std::vector<QCoro::Task<>> editors; // all three start before the first is awaited
            for (Client &client : clients)
                editors.push_back(edit(client, schedule, deadline, problem));
            for (QCoro::Task<> &editor : editors)
                co_await std::move(editor);
        };
        runTask(editing(), std::chrono::seconds(seconds + 120));
        runTask(std::move(restarter), std::chrono::seconds(30));
        runTask(std::move(blipper), std::chrono::seconds(30));
        QVERIFY2(problem.isEmpty(), qPrintable(QStringLiteral("schedule %1: %2").arg(schedule).arg(problem)));
        // The network heals. What the server holds now: every confirmed write, and for a write
        // whose answer was lost, possibly that write (it is still pending, to be retried).
        proxy.setChooser({});
        proxy.dropAll();
        const auto serverGrid = [&] {
            auto reader = account.model(throughProxy());
            runTask(reader->open(*sheet));
            return rawTexts(reader->cells());
        };
        Grid held = serverGrid();
        for (const Client &client : clients) {
            Grid pending;
            for (const CellWrite &write : client.model->failedWrites())
                pending.insert({write.r, write.c}, write.raw);
            for (auto it = client.confirmed.cbegin(); it != client.confirmed.cend(); ++it) {
                const QString there = held.value(it.key());
                QVERIFY2(there == it.value() ||
                             (pending.contains(it.key()) && there == pending.value(it.key())),
                         qPrintable(QStringLiteral("schedule %1: %2 holds \"%3\", client %4 confirmed \"%5\"")
                                        .arg(schedule)
                                        .arg(it.key().ref(), there)
                                        .arg(client.index)
                                        .arg(it.value())));
            }
        }
        // Every pending write goes through now, and then the server holds exactly the ledgers.
        Grid expected;
        int edits = 0, failed = 0;
        for (Client &client : clients) {
            for (int attempt = 0; attempt < 5 && !client.model->failedWrites().isEmpty(); ++attempt) {
                const QList<CellWrite> pending = client.model->failedWrites();
                runTask(client.model->retryWrites());
                if (client.model->failedWrites().isEmpty())
                    client.confirm(pending);
            }
            QVERIFY2(client.model->failedWrites().isEmpty(), qPrintable(client.model->error()));
            expected.insert(client.confirmed);
            edits += client.edits;
            failed += client.failed;
        }
        held = serverGrid();
        QCOMPARE(held, expected);
        for (const Client &client : clients) {
            QTRY_COMPARE_WITH_TIMEOUT(rawTexts(client.model->cells()), held, 30000);
            client.stopWatching->cancel();
        }
        qInfo("schedule %u: %d edits (%d refused or lost), %d connections, %d with a fault, %d network "
              "breaks, %d server restarts",
              schedule, edits, failed, proxy.connections(), proxy.faults(), blips, restarts);
    }
};

QTEST_GUILESS_MAIN(TestLedgerE2E)
#include "tst_LedgerE2E.moc"
