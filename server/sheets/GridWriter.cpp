#include "sheets/GridWriter.h"

#include "base/Refusal.h"
#include "formulas/CalculationThread.h"
#include "formulas/FormulaEngine.h"
#include "formulas/FormulaText.h"
#include "formulas/NumberFormats.h"
#include "sheets/GridStore.h"
#include "sheets/Palette.h"
#include "storage/Database.h"
#include "storage/DatabaseError.h"
#include "storage/GroupTransaction.h"
#include "storage/Transaction.h"

#include <algorithm>
#include <exception>
#include <set>

#if defined(__GLIBC__)
#include <malloc.h>
#endif

namespace {

using Position = std::pair<std::int64_t, std::int64_t>;

// Fills display, value and numeric from the computed value and the cell's number format.
void present(StoredCell &cell, const FormulaEngine::Value &value, const CellStyle &style) {
    cell.value.reset();
    cell.numeric = false;
    switch (value.kind) {
    case FormulaEngine::Value::Kind::Empty:
        cell.display = cell.raw;
        break;
    case FormulaEngine::Value::Kind::Number:
        cell.numeric = true;
        cell.value = value.number;
        cell.display = NumberFormats::display(value.number, style.numberFormat.value_or(""));
        break;
    case FormulaEngine::Value::Kind::Text:
        cell.display = FormulaText::isFormula(cell.raw) ? value.text : cell.raw;
        break;
    case FormulaEngine::Value::Kind::Error:
        cell.display = FormulaText::hasReferenceError(cell.raw) ? "#REF!" : value.text;
        break;
    }
}

CellStyle applied(CellStyle style, const GridWriter::FormatChange &change) {
    if (change.bold)
        style.bold = *change.bold ? std::optional(true) : std::nullopt;
    if (change.italic)
        style.italic = *change.italic ? std::optional(true) : std::nullopt;
    if (change.align)
        style.align = change.align->empty() ? std::nullopt : change.align;
    if (change.numfmt)
        style.numberFormat = change.numfmt->empty() ? std::nullopt : change.numfmt;
    if (change.fill) {
        style.fillHex.reset();
        style.fillHue.reset();
        style.fillChroma.reset();
        style.lowContrast.reset();
        if (const auto swatch = Palette::fill(*change.fill)) {
            style.fillHue = swatch->hue;
            style.fillChroma = swatch->chroma;
        }
    }
    if (change.ink) {
        style.inkHex.reset();
        style.inkHue.reset();
        style.inkChroma.reset();
        style.lowContrast.reset();
        if (const auto swatch = Palette::ink(*change.ink)) {
            style.inkHue = swatch->hue;
            style.inkChroma = swatch->chroma;
        }
    }
    // One canonical form, so that equal looks compare equal.
    return CellStyle::fromJson(style.toJson());
}

} // namespace

GridWriter::GridWriter(Database &db, GridStore &store, Publisher publisher)
    : m_db(db), m_store(store), m_publisher(std::move(publisher)) {}

GridWriter::~GridWriter() = default;

std::shared_ptr<GridWriter::TabState> GridWriter::state(std::int64_t tabId) {
    std::lock_guard lock(m_statesMutex);
    auto &entry = m_states[tabId];
    if (!entry)
        entry = std::make_shared<TabState>();
    return entry;
}

void GridWriter::forget(std::int64_t tabId) {
    const auto tab = state(tabId);
    std::lock_guard lock(tab->mutex);
    tab->engine.reset();
    tab->cells.reset();
    std::lock_guard statesLock(m_statesMutex);
    tab->bytes = 0;
}

GridWriter::Held GridWriter::held() {
    std::lock_guard lock(m_statesMutex);
    Held held;
    for (const auto &[id, state] : m_states) {
        if (state->bytes > 0) {
            held.tabs.insert(id);
            held.bytes += state->bytes;
        }
    }
    return held;
}

FormulaEngine &GridWriter::engine(TabState &tab, std::int64_t tabId) {
    if (tab.engine)
        return *tab.engine;
    std::vector<StoredCell> cells;
    {
        auto lock = m_db.lock();
        cells = m_store.allCells(tabId);
    }
    auto engine = std::make_unique<FormulaEngine>(m_limits);
    CalculationThread::run([&] {
        for (const auto &cell : cells) {
            if (!cell.raw.empty())
                engine->load(cell.r, cell.c, cell.raw);
        }
        engine->calculateAll();
    });
    tab.engine = std::move(engine);
    return *tab.engine;
}

void GridWriter::used(TabState &tab) {
    std::vector<std::shared_ptr<TabState>> idle;
    {
        std::lock_guard lock(m_statesMutex);
        tab.lastUse = ++m_useClock;
        tab.bytes = tab.engine ? static_cast<std::int64_t>(tab.engine->memoryBytes()) : 0;
        std::int64_t total = 0;
        for (const auto &[id, state] : m_states)
            total += state->bytes;
        if (total <= m_limits.formulaMemoryBytes)
            return;
        for (const auto &[id, state] : m_states) {
            if (state.get() != &tab && state->bytes > 0)
                idle.push_back(state);
        }
        std::sort(idle.begin(), idle.end(),
                  [](const auto &a, const auto &b) { return a->lastUse < b->lastUse; });
        // Decided under the lock, dropped outside it: a tab in use is skipped, not waited for.
        std::int64_t freed = 0;
        std::size_t keep = 0;
        for (; keep < idle.size() && total - freed > m_limits.formulaMemoryBytes; ++keep)
            freed += idle[keep]->bytes;
        idle.resize(keep);
    }
    [[maybe_unused]] bool dropped = false;
    for (const auto &state : idle) {
        std::unique_lock lock(state->mutex, std::try_to_lock);
        if (!lock.owns_lock())
            continue;
        dropped = dropped || state->engine;
        state->engine.reset();
        std::lock_guard statesLock(m_statesMutex);
        state->bytes = 0;
    }
#if defined(__GLIBC__)
    // glibc keeps freed memory for later allocations unless asked; a dropped model's megabytes
    // would otherwise stay resident.
    if (dropped)
        malloc_trim(0);
#endif
}

void GridWriter::checkRoom(TabState &tab, std::int64_t tabId, std::int64_t added) {
    if (added <= 0)
        return;
    if (!tab.cells) {
        // Counting takes longer the fuller the tab: done once, not for every write.
        auto &count = m_db.cached("SELECT COUNT(*) FROM cells WHERE tab_id = ?1");
        count.bind(1, tabId);
        tab.cells = count.step() ? count.integer(0) : 0;
        count.reset();
    }
    if (*tab.cells + added > m_limits.maxCellsPerSheet)
        throw Refusal(422, "sheet-full",
                      "A sheet holds at most " + std::to_string(m_limits.maxCellsPerSheet) +
                          " cells with content or a format. Nothing was changed.");
}

void GridWriter::attachStyles(GridChange &change) {
    std::set<std::int64_t> ids;
    for (const auto &cell : change.cells) {
        if (cell.styleId)
            ids.insert(*cell.styleId);
    }
    change.styles = m_store.styles(ids);
}

GridChange GridWriter::writeCells(std::int64_t tabId, std::optional<std::int64_t> accountId,
                                  const std::vector<CellWrite> &writes) {
    return write(*state(tabId), tabId, Origin{accountId, "edit"}, [&] { return Plan{writes, {}}; });
}

GridChange GridWriter::rewrite(std::int64_t tabId, const Origin &origin, const Planner &planner) {
    return write(*state(tabId), tabId, origin, planner);
}

bool GridWriter::lastWriteLost(const TabState &tab) {
    return tab.lastGroup && m_db.lost(tab.lastGroup);
}

void GridWriter::dropLost(TabState &tab) {
    if (lastWriteLost(tab)) {
        tab.engine.reset();
        tab.cells.reset();
        tab.lastGroup.reset();
    }
}

GridChange GridWriter::write(TabState &tab, std::int64_t tabId, const Origin &origin,
                             const Planner &planner) {
    Pending pending(origin, planner);
    if (tab.fold.join(pending))
        lead(tab, tabId);
    if (pending.failure)
        std::rethrow_exception(pending.failure);
    return std::move(pending.staged->change);
}

void GridWriter::lead(TabState &tab, std::int64_t tabId) {
    std::vector<Pending *> fold;
    {
        std::unique_lock tabLock(tab.mutex);
        // Taken once the tab is ours: the writes that came while it was busy join this fold.
        for (auto *entry : tab.fold.take())
            fold.push_back(static_cast<Pending *>(entry));
        for (auto *pending : fold) {
            try {
                // As if each had come alone: one whose group failed meanwhile is not built on.
                dropLost(tab);
                pending->staged = stage(tab, tabId, pending->origin, pending->planner());
            } catch (...) {
                pending->failure = std::current_exception();
            }
        }
        used(tab);
    }
    // The next fold is made while this one waits for its group.
    tab.fold.handOff();
    for (auto *pending : fold) {
        if (pending->staged) {
            try {
                finish(tab, tabId, *pending->staged);
            } catch (...) {
                pending->failure = std::current_exception();
            }
        }
        tab.fold.done(*pending);
    }
}

GridWriter::Staged GridWriter::stage(TabState &tab, std::int64_t tabId, const Origin &origin,
                                     const Plan &plan) {
    const auto &writes = plan.writes;
    FormulaEngine &formulas = engine(tab, tabId);

    std::vector<FormulaEngine::Input> inputs;
    inputs.reserve(writes.size());
    for (const auto &write : writes) {
        std::string raw = write.raw;
        if (write.fromR && write.fromC && FormulaText::isFormula(raw))
            raw = FormulaText::move(raw, write.r - *write.fromR, write.c - *write.fromC,
                                    FormulaEngine::maxRows, FormulaEngine::maxCols);
        inputs.push_back({write.r, write.c, std::move(raw)});
    }

    struct Step {
        Position position;
        std::string oldRaw;
        std::string newRaw;
    };
    std::vector<Step> steps;
    {
        // The writing connection sees the changes of the open group too: the latest state.
        auto lock = m_db.lockToJoin();
        std::map<Position, std::string> current;
        std::set<Position> added;
        for (const auto &input : inputs) {
            const Position position{input.r, input.c};
            auto it = current.find(position);
            if (it == current.end()) {
                const auto stored = m_store.cell(tabId, input.r, input.c);
                if (!stored && !input.raw.empty())
                    added.insert(position);
                it = current.emplace(position, stored ? stored->raw : std::string()).first;
            }
            if (it->second != input.raw) {
                steps.push_back({position, it->second, input.raw});
                it->second = input.raw;
            }
        }
        checkRoom(tab, tabId, static_cast<std::int64_t>(added.size()));
    }

    // From here on the model holds the write: if it goes no further, the model is rebuilt from the
    // database next time.
    struct Rollback {
        TabState &tab;
        bool armed = true;
        ~Rollback() {
            if (armed) {
                tab.engine.reset();
                tab.cells.reset();
            }
        }
    } rollback{tab};
    Staged staged;
    GridChange &change = staged.change;
    change.stamps = static_cast<std::int64_t>(steps.size());
    // Unchanged cells are still recalculated: harmless, and the answer then shows their state.
    std::vector<Position> changed;
    // Values written where no formula is, nor among them, calculate nothing and need no deep
    // stack: they save the two thread switches of the calculation thread.
    const bool plain = !formulas.holdsFormulas() &&
                       std::none_of(inputs.begin(), inputs.end(),
                                    [](const auto &input) { return FormulaText::isFormula(input.raw); });
    try {
        if (plain)
            changed = formulas.set(inputs);
        else
            CalculationThread::run([&] { changed = formulas.set(inputs); });
    } catch (const FormulaEngine::ChainTooLong &tooLong) {
        throw Refusal(422, "chain-too-long", tooLong.what());
    }
    std::map<Position, std::string> written;
    for (const auto &input : inputs)
        written[{input.r, input.c}] = input.raw;

    auto lock = m_db.lockToJoin();
    // The write before this one may have failed since this one read the cells: then what was
    // worked out here rests on changes the database does not have.
    if (lastWriteLost(tab))
        throw DatabaseError("An earlier change of this sheet was not stored.");
    GroupTransaction transaction(m_db);
    const std::uint64_t base = m_store.version(tabId);
    std::uint64_t version = base;
    std::optional<std::int64_t> changeId;
    for (const auto &step : steps) {
        const auto id = m_store.logEdit(tabId, step.position.first, step.position.second, origin.accountId,
                                        step.oldRaw, step.newRaw, ++version, origin.kind, changeId);
        changeId = changeId.value_or(id);
    }
    for (const auto id : plan.reverses)
        m_store.markUndone(id);
    std::map<std::int64_t, CellStyle> styleCache;
    change.cells.reserve(changed.size());
    std::int64_t cellsAdded = 0;
    for (const auto &[r, c] : changed) {
        const auto stored = m_store.cell(tabId, r, c);
        StoredCell cell = stored.value_or(StoredCell{r, c, {}, {}, {}, false, {}});
        if (const auto it = written.find({r, c}); it != written.end())
            cell.raw = it->second;
        CellStyle style;
        if (cell.styleId) {
            auto cached = styleCache.find(*cell.styleId);
            if (cached == styleCache.end())
                cached = styleCache.emplace(*cell.styleId, m_store.style(*cell.styleId)).first;
            style = cached->second;
        }
        present(cell, formulas.value(r, c), style);
        m_store.put(tabId, cell);
        cellsAdded += (stored ? 0 : 1) - (cell.removable() ? 1 : 0);
        change.cells.push_back(std::move(cell));
    }
    if (version != base)
        m_store.setVersion(tabId, version);
    change.version = version;
    attachStyles(change);
    staged.group = transaction.join();
    // Counted ahead of the commit, like the model; both are dropped if the group fails.
    if (tab.cells)
        *tab.cells += cellsAdded;
    tab.lastGroup = staged.group;
    staged.turn = tab.order.take();
    rollback.armed = false;
    return staged;
}

void GridWriter::finish(TabState &tab, std::int64_t tabId, const Staged &staged) {
    struct Turn {
        PublishOrder &order;
        std::uint64_t turn;
        ~Turn() { order.end(turn); }
    };
    std::exception_ptr failure;
    try {
        m_db.waitDurable(staged.group);
    } catch (...) {
        failure = std::current_exception();
    }
    // A failed write still waits for its turn: the ones after it wait for it to end.
    tab.order.waitTurn(staged.turn);
    const Turn turn{tab.order, staged.turn};
    if (failure)
        std::rethrow_exception(failure);
    // A write that changed no cell's text has nothing to tell.
    if (staged.change.stamps.value_or(0) > 0)
        m_publisher(tabId, staged.change);
}

GridChange GridWriter::format(std::int64_t tabId, const FormatChange &request) {
    const auto tab = state(tabId);
    std::lock_guard tabLock(tab->mutex);
    // The cells are read below from what is committed: the tab's cell writes must be settled.
    tab->order.waitAll();
    dropLost(*tab);

    // Everything is read and worked out first; the database lock is held only for the writing,
    // and reads of other requests never wait for it.
    std::map<Position, StoredCell> existing;
    std::map<std::int64_t, CellStyle> known;
    {
        auto reading = m_db.read();
        std::set<std::int64_t> ids;
        for (auto &cell : m_store.cells(tabId, request.r1, request.c1, request.r2, request.c2)) {
            if (cell.styleId)
                ids.insert(*cell.styleId);
            existing.emplace(Position{cell.r, cell.c}, std::move(cell));
        }
        known = m_store.styles(ids);
    }
    // What the change makes of a cell depends only on the style it had: worked out once per style,
    // not once for each of up to 250,000 cells.
    struct Outcome {
        bool unchanged = false;
        CellStyle after;
        std::optional<std::int64_t> styleId;
    };
    std::map<std::optional<std::int64_t>, Outcome> outcomes;
    auto outcomeFor = [&](std::optional<std::int64_t> id) -> const Outcome & {
        auto it = outcomes.find(id);
        if (it == outcomes.end()) {
            const auto found = id ? known.find(*id) : known.end();
            const CellStyle before = found != known.end() ? found->second : CellStyle{};
            Outcome outcome{false, applied(before, request), std::nullopt};
            outcome.unchanged = outcome.after == before;
            it = outcomes.emplace(id, std::move(outcome)).first;
        }
        return it->second;
    };
    std::vector<std::pair<StoredCell, std::optional<std::int64_t>>> changes; // with the style it had
    std::int64_t added = 0;
    for (std::int64_t r = request.r1; r <= request.r2; ++r) {
        for (std::int64_t c = request.c1; c <= request.c2; ++c) {
            const auto it = existing.find({r, c});
            StoredCell cell = it != existing.end() ? it->second : StoredCell{r, c, {}, {}, {}, false, {}};
            const Outcome &outcome = outcomeFor(cell.styleId);
            if (outcome.unchanged)
                continue;
            if (it == existing.end() && !outcome.after.empty())
                ++added;
            if (cell.numeric && cell.value)
                cell.display = NumberFormats::display(*cell.value, outcome.after.numberFormat.value_or(""));
            const auto had = cell.styleId;
            changes.emplace_back(std::move(cell), had);
        }
    }

    auto lock = m_db.lock();
    checkRoom(*tab, tabId, added);
    Transaction transaction(m_db);
    for (auto &[id, outcome] : outcomes) {
        if (!outcome.unchanged && !outcome.after.empty())
            outcome.styleId = m_store.styleId(tabId, outcome.after);
    }
    GridChange change;
    change.cells.reserve(changes.size());
    for (auto &[cell, had] : changes) {
        cell.styleId = outcomes.at(had).styleId;
        m_store.put(tabId, cell);
        change.cells.push_back(std::move(cell));
    }
    change.version = m_store.version(tabId);
    if (!change.cells.empty()) {
        change.version += 1;
        m_store.setVersion(tabId, change.version);
    }
    transaction.commit();
    // Clearing formats removes cells: counted again when next needed.
    tab->cells.reset();
    attachStyles(change);
    if (!change.cells.empty())
        m_publisher(tabId, change);
    return change;
}

GridChange GridWriter::resize(std::int64_t tabId, const std::string &axis, std::int64_t index, double size) {
    const auto tab = state(tabId);
    std::lock_guard tabLock(tab->mutex);
    // Published after the tab's cell writes, whose versions come before.
    tab->order.waitAll();
    auto lock = m_db.lock();
    Transaction transaction(m_db);
    m_store.setSize(tabId, axis, index, size);
    GridChange change;
    change.version = m_store.version(tabId) + 1;
    m_store.setVersion(tabId, change.version);
    change.sizes = m_store.sizes(tabId);
    transaction.commit();
    m_publisher(tabId, change);
    return change;
}

GridChange GridWriter::read(std::int64_t tabId, std::int64_t firstRow, std::int64_t firstCol,
                            std::int64_t rows, std::int64_t cols) {
    auto reading = m_db.read();
    GridChange window;
    window.version = m_store.version(tabId);
    window.rows = rows;
    window.cols = cols;
    window.cells = m_store.cells(tabId, firstRow, firstCol, firstRow + rows - 1, firstCol + cols - 1);
    window.sizes = m_store.sizes(tabId);
    attachStyles(window);
    return window;
}
