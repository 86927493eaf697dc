#pragma once

#include "GridChange.h"

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

class Database;
class FormulaEngine;
class GridStore;

// Every change to a tab's grid goes through here: cell writes (with their recalculation), formats
// and sizes. Changes of one tab are serialised; each is committed, then published, then answered.
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
    // Called with every committed change, in version order, before the writer answers.
    using Publisher = std::function<void(std::int64_t tabId, const GridChange &change)>;

    GridWriter(Database &db, GridStore &store, Publisher publisher);
    ~GridWriter();

    GridChange writeCells(std::int64_t tabId, std::optional<std::int64_t> accountId,
                          const std::vector<CellWrite> &writes);
    GridChange format(std::int64_t tabId, const FormatChange &change);
    GridChange resize(std::int64_t tabId, const std::string &axis, std::int64_t index, double size);
    GridChange read(std::int64_t tabId, std::int64_t firstRow, std::int64_t firstCol, std::int64_t rows,
                    std::int64_t cols);

    // Forgets the in-memory formulas of a tab; they are rebuilt from the database when next needed.
    void forget(std::int64_t tabId);

private:
    struct TabState {
        std::mutex mutex;
        std::unique_ptr<FormulaEngine> engine;
    };

    std::shared_ptr<TabState> state(std::int64_t tabId);
    FormulaEngine &engine(TabState &tab, std::int64_t tabId);
    void attachStyles(GridChange &change);

    Database &m_db;
    GridStore &m_store;
    Publisher m_publisher;
    std::mutex m_statesMutex;
    std::map<std::int64_t, std::shared_ptr<TabState>> m_states;
};
