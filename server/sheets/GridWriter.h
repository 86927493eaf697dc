#pragma once

#include "base/ContentLimits.h"
#include "sheets/GridChange.h"
#include "sheets/PublishOrder.h"
#include "sheets/WriteFold.h"
#include "storage/Database.h"

#include <cstdint>
#include <exception>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

class FormulaEngine;
class GridStore;

// Every change to a tab's grid goes through here: cell writes (with their recalculation), formats
// and sizes. Changes of one tab are made one at a time; each is committed, then published, then
// answered. A cell write lets the next change of its tab start as soon as it has joined the open
// group commit, so that the writes of a busy tab share one sync of the log; they still publish in
// the order they were made, and a write that built on one whose group failed fails too.
class GridWriter {
public:
    struct CellWrite {
        std::int64_t r = 0;
        std::int64_t c = 0;
        std::string raw;
        std::optional<std::int64_t> fromR;
        std::optional<std::int64_t> fromC;
    };
    struct FormatChange {
        std::int64_t r1 = 0, c1 = 0, r2 = 0, c2 = 0;
        std::optional<bool> bold;
        std::optional<bool> italic;
        std::optional<std::string> align;  // "", "left", "center", "right"
        std::optional<std::string> numfmt; // a known code, "" for automatic
        std::optional<std::string> fill;   // a swatch name or "none"
        std::optional<std::string> ink;
    };
    // What a write is, for the edit log: who made it, its kind ("edit", "restore", "undo", "import")
    // and, for an undo, the logged edits it reverses.
    struct Origin {
        std::optional<std::int64_t> accountId;
        std::string kind = "edit";
    };
    struct Plan {
        std::vector<CellWrite> writes;
        std::vector<std::int64_t> reverses;
    };
    // Decides the writes of a restore or undo while the tab's changes are held back; may throw
    // Refusal.
    using Planner = std::function<Plan()>;
    // Called with every committed change, in version order, before the writer answers.
    using Publisher = std::function<void(std::int64_t tabId, const GridChange &change)>;

    GridWriter(Database &db, GridStore &store, Publisher publisher);
    ~GridWriter();
    // Before the first change.
    void setLimits(const ContentLimits &limits) { m_limits = limits; }

    GridChange writeCells(std::int64_t tabId, std::optional<std::int64_t> accountId,
                          const std::vector<CellWrite> &writes);
    GridChange rewrite(std::int64_t tabId, const Origin &origin, const Planner &planner);
    GridChange format(std::int64_t tabId, const FormatChange &change);
    GridChange resize(std::int64_t tabId, const std::string &axis, std::int64_t index, double size);
    GridChange read(std::int64_t tabId, std::int64_t firstRow, std::int64_t firstCol, std::int64_t rows,
                    std::int64_t cols);

    // Forgets the in-memory formulas of a tab; they are rebuilt from the database when next needed.
    void forget(std::int64_t tabId);
    // The formula models held now and their estimated size, against formulaMemoryBytes.
    struct Held {
        std::set<std::int64_t> tabs;
        std::int64_t bytes = 0;
    };
    Held held();

private:
    struct TabState {
        std::mutex mutex;
        std::unique_ptr<FormulaEngine> engine;
        // The cells stored for the tab, counted once and then kept up to date by the writes;
        // unknown again after anything that may change it otherwise.
        std::optional<std::int64_t> cells;
        std::uint64_t lastUse = 0; // under m_statesMutex
        std::int64_t bytes = 0;    // under m_statesMutex: the engine's size when last used
        // The group commit holding the tab's latest cell write. While it may still fail, the model
        // and the cell count include changes the database may not keep.
        Database::Ticket lastGroup;
        PublishOrder order;
        WriteFold fold;
    };
    // A cell write that has joined its group, not yet durable nor published.
    struct Staged {
        GridChange change;
        Database::Ticket group;
        std::uint64_t turn = 0;
    };

    std::shared_ptr<TabState> state(std::int64_t tabId);
    FormulaEngine &engine(TabState &tab, std::int64_t tabId);
    // Records the tab's model size, then drops the models of the tabs least recently used while
    // all together take more than the budget, and hands the freed memory back to the system. The
    // caller holds the tab's mutex.
    void used(TabState &tab);
    // Refuses a change that would take the tab past its cells. The caller holds the tab's mutex
    // and the database lock.
    void checkRoom(TabState &tab, std::int64_t tabId, std::int64_t added);
    void attachStyles(GridChange &change);
    // True when the group holding the tab's latest cell write ended without being stored.
    bool lastWriteLost(const TabState &tab);
    // When the tab's latest cell write was in a group that failed, the model and the cell count
    // are dropped, to be rebuilt from the database. The caller holds the tab's mutex.
    void dropLost(TabState &tab);
    // A cell write waiting in its tab's fold, with what became of it.
    struct Pending : WriteFold::Entry {
        Pending(const Origin &o, const Planner &p) : origin(o), planner(p) {}
        const Origin &origin;
        const Planner &planner;
        std::optional<Staged> staged;
        std::exception_ptr failure;
    };

    // Makes the write, or waits while the thread leading the tab's fold makes it.
    GridChange write(TabState &tab, std::int64_t tabId, const Origin &origin, const Planner &planner);
    // Makes every write waiting in the tab's fold, in order, each on its own: a refused write
    // fails alone.
    void lead(TabState &tab, std::int64_t tabId);
    Staged stage(TabState &tab, std::int64_t tabId, const Origin &origin, const Plan &plan);
    // Waits for the write's group to be durable and for its turn, then publishes it.
    void finish(TabState &tab, std::int64_t tabId, const Staged &staged);

    Database &m_db;
    GridStore &m_store;
    Publisher m_publisher;
    ContentLimits m_limits;
    std::mutex m_statesMutex;
    std::uint64_t m_useClock = 0;
    std::map<std::int64_t, std::shared_ptr<TabState>> m_states;
};
