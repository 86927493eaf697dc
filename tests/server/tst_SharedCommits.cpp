// Cell writes of one tab that share a group commit: a write lets the next one of its tab start
// before its group is durable, so a failed group must take every write that built on it along,
// leave nothing of them in the tab's model, and publish nothing of them; the others publish once
// each, in version order.

#include "base/Refusal.h"
#include "sheets/GridStore.h"
#include "sheets/GridWriter.h"
#include "storage/Database.h"
#include "storage/DatabaseError.h"
#include "storage/GroupTransaction.h"

#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

namespace {

struct Fixture {
    QTemporaryDir folder;
    Database db{folder.filePath("test.db").toStdString()};
    GridStore store{db};
    std::mutex publishedMutex;
    std::vector<GridChange> published; // in the order they were published
    GridWriter writer{db, store, [this](std::int64_t, const GridChange &change) {
                          std::lock_guard lock(publishedMutex);
                          published.push_back(change);
                      }};
    std::int64_t tab = 0;

    explicit Fixture(std::int64_t maxCells = 1'000'000) {
        ContentLimits limits;
        limits.maxCellsPerSheet = maxCells;
        writer.setLimits(limits);
        auto lock = db.lock();
        db.exec("INSERT INTO sheets (id, title, created_at, updated_at) VALUES (1, 'Sheet', 0, 0)");
        db.exec("INSERT INTO tabs (id, sheet_id, name, position) VALUES (1, 1, 'Tab', 0)");
        // A row here must name an existing parent by COMMIT: a batch with one fails its group.
        db.exec("CREATE TABLE parents (id INTEGER PRIMARY KEY)");
        db.exec(
            "CREATE TABLE children (parent INTEGER REFERENCES parents(id) DEFERRABLE INITIALLY DEFERRED)");
        tab = 1;
    }

    // Joins a batch to the open group that makes its COMMIT fail.
    Database::Ticket poison() {
        auto lock = db.lockToJoin();
        GroupTransaction transaction(db);
        db.exec("INSERT INTO children VALUES (42)");
        return transaction.join();
    }

    GridChange write(std::int64_t r, std::int64_t c, const std::string &raw) {
        return writer.writeCells(tab, std::nullopt, {{r, c, raw, std::nullopt, std::nullopt}});
    }

    std::vector<std::uint64_t> publishedVersions() {
        std::vector<std::uint64_t> versions;
        for (const auto &change : published)
            versions.push_back(change.version);
        return versions;
    }

    std::string display(std::int64_t r, std::int64_t c) {
        const auto cells = writer.read(tab, r, c, 1, 1).cells;
        return cells.empty() ? std::string() : cells.front().display;
    }
};

} // namespace

class TestSharedCommits : public QObject {
    Q_OBJECT

private Q_SLOTS:
    // A write whose group fails is answered with the failure; the next write sees the tab as the
    // database has it: not the failed cells in its formulas, its cell count or its version.
    void aFailedWriteLeavesNoTrace() {
        Fixture f(3);
        QCOMPARE(f.write(0, 0, "1").version, 1u);
        const auto poisoned = f.poison();
        QVERIFY_THROWS_EXCEPTION(DatabaseError,
                                 f.writer.writeCells(f.tab, std::nullopt,
                                                     {{0, 0, "5", std::nullopt, std::nullopt},
                                                      {0, 1, "x", std::nullopt, std::nullopt},
                                                      {0, 2, "y", std::nullopt, std::nullopt}}));
        QVERIFY_THROWS_EXCEPTION(DatabaseError, f.db.waitDurable(poisoned));
        QCOMPARE(f.publishedVersions(), (std::vector<std::uint64_t>{1}));
        // Two more cells fit only if the failed ones are not counted.
        const auto next = f.writer.writeCells(
            f.tab, std::nullopt,
            {{0, 1, "=A1+1", std::nullopt, std::nullopt}, {0, 2, "z", std::nullopt, std::nullopt}});
        QCOMPARE(next.version, 3u);
        QCOMPARE(f.display(0, 1), std::string("2"));
        QCOMPARE(f.publishedVersions(), (std::vector<std::uint64_t>({1, 3})));
    }

    // Writers of one tab race with groups that fail. Every answered write is stored and published
    // once, in version order, and each published total counts exactly the cells published before:
    // nothing of a failed write stays in the tab's model.
    void racingWritersKeepModelAndStreamTrue() {
        Fixture f;
        constexpr int writers = 4;
        constexpr int writes = 150;
        const std::pair<std::int64_t, std::int64_t> total{0, 10};
        f.write(total.first, total.second, "=SUM(A1:D150)");
        std::atomic<bool> stop = false;
        std::atomic<int> failed = 0;
        std::thread poisoner([&] {
            while (!stop) {
                try {
                    f.db.waitDurable(f.poison());
                } catch (const DatabaseError &) {
                }
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
        std::atomic<int> answered = 0;
        std::vector<std::thread> threads;
        for (int w = 0; w < writers; ++w) {
            threads.emplace_back([&, w] {
                // Each write a cell of its own, so that a failed one is never written over.
                for (int k = 0; k < writes; ++k) {
                    try {
                        f.write(k, w, "1");
                        ++answered;
                    } catch (const DatabaseError &) {
                        ++failed;
                    }
                }
            });
        }
        for (auto &thread : threads)
            thread.join();
        stop = true;
        poisoner.join();
        QVERIFY(failed > 0);

        int stored = 0;
        for (const auto &cell : f.writer.read(f.tab, 0, 0, writes, writers).cells)
            stored += cell.raw == "1" ? 1 : 0;
        QCOMPARE(stored, answered.load());
        QCOMPARE(f.published.size(), std::size_t(answered + 1));
        std::set<std::pair<std::int64_t, std::int64_t>> ones;
        for (std::size_t i = 0; i < f.published.size(); ++i) {
            QVERIFY2(i == 0 || f.published[i].version > f.published[i - 1].version,
                     "published out of version order");
            for (const auto &cell : f.published[i].cells) {
                if (cell.raw == "1")
                    ones.emplace(cell.r, cell.c);
            }
            for (const auto &cell : f.published[i].cells) {
                if (std::pair{cell.r, cell.c} == total)
                    QCOMPARE(cell.display, std::to_string(ones.size()));
            }
        }
        QCOMPARE(ones.size(), std::size_t(stored));
    }

    // A format reads the cells it restyles from what is committed: it must not write back, over a
    // cell write still waiting for its group, the text the cell had before. Formats and sizes
    // publish after the writes made before them.
    void formatsKeepTheWritesBeforeThem() {
        Fixture f;
        constexpr int writes = 150;
        std::atomic<bool> stop = false;
        std::thread formatter([&] {
            GridWriter::FormatChange bold;
            bold.r2 = 0;
            bold.c2 = 3;
            while (!stop) {
                bold.bold = !bold.bold.value_or(false);
                f.writer.format(f.tab, bold);
                f.writer.resize(f.tab, "col", 0, *bold.bold ? 80 : 100);
            }
        });
        std::vector<std::thread> threads;
        for (int w = 0; w < 2; ++w) {
            threads.emplace_back([&, w] {
                for (int k = 0; k < writes; ++k)
                    f.write(0, w, std::to_string(k));
            });
        }
        for (auto &thread : threads)
            thread.join();
        stop = true;
        formatter.join();
        for (const auto &cell : f.writer.read(f.tab, 0, 0, 1, 2).cells)
            QCOMPARE(cell.raw, std::to_string(writes - 1));
        // In version order, each format shows the text of the write published last.
        std::map<std::int64_t, std::string> last;
        for (std::size_t i = 1; i < f.published.size(); ++i)
            QVERIFY2(f.published[i].version > f.published[i - 1].version, "published out of version order");
        for (const auto &change : f.published) {
            for (const auto &cell : change.cells) {
                if (change.stamps)
                    last[cell.c] = cell.raw;
                else
                    QCOMPARE(cell.raw, last[cell.c]);
            }
        }
    }

    // Writes that queue while the tab is busy are made together by one thread. Each still gets its
    // own version, answer and event, as if made alone in the order they came; one refused for room
    // fails alone. No write is answered before it is published.
    void writesMadeTogetherKeepTheirOwnOutcome() {
        Fixture f(3);
        std::mutex gate;
        std::unique_lock held(gate);
        std::thread busy([&] {
            f.writer.rewrite(f.tab, {}, [&] {
                std::lock_guard wait(gate);
                return GridWriter::Plan{{{5, 5, "first", std::nullopt, std::nullopt}}, {}};
            });
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const std::vector<std::vector<GridWriter::CellWrite>> batches = {
            {{0, 0, "a", std::nullopt, std::nullopt}},
            {{0, 1, "b", std::nullopt, std::nullopt}, {0, 2, "b", std::nullopt, std::nullopt}},
            {{0, 1, "c", std::nullopt, std::nullopt}},
            {{0, 0, "d", std::nullopt, std::nullopt}}};
        std::vector<std::string> outcomes(batches.size());
        std::vector<std::thread> threads;
        for (std::size_t i = 0; i < batches.size(); ++i) {
            threads.emplace_back([&, i] {
                // Apart enough to queue in this order on a busy machine too.
                std::this_thread::sleep_for(std::chrono::milliseconds(60 * i));
                try {
                    const auto change = f.writer.writeCells(f.tab, std::nullopt, batches[i]);
                    std::lock_guard lock(f.publishedMutex);
                    const bool published =
                        !f.published.empty() && f.published.back().version >= change.version;
                    outcomes[i] = std::to_string(change.version) + (published ? "" : " unpublished");
                } catch (const Refusal &refusal) {
                    outcomes[i] = refusal.code();
                }
            });
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(400));
        held.unlock();
        busy.join();
        for (auto &thread : threads)
            thread.join();
        QCOMPARE(outcomes, (std::vector<std::string>{"2", "sheet-full", "3", "4"}));
        QCOMPARE(f.publishedVersions(), (std::vector<std::uint64_t>{1, 2, 3, 4}));
        QCOMPARE(f.published[2].cells.front().raw, std::string("c"));
        QCOMPARE(f.display(0, 0), std::string("d"));
        QCOMPARE(f.display(0, 2), std::string());
    }
};

QTEST_GUILESS_MAIN(TestSharedCommits)
#include "tst_SharedCommits.moc"
