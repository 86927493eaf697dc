#pragma once

#include "base/ContentLimits.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class Database;
class GridStore;

// Spreadsheets, their tabs and who may do what with them.
class SheetStore {
public:
    enum class Role { Owner, Editor, Commenter, Viewer };
    struct Sheet {
        std::int64_t id = 0;
        std::string title;
        std::int64_t tabId = 0;
        std::string tabName;
    };

    static constexpr std::int64_t previewRows = 12;
    static constexpr std::int64_t previewCols = 8;
    static constexpr std::int64_t maxPageRows = 500;
    static constexpr std::int64_t maxPageCols = 200;
    static constexpr std::int64_t maxWarned = 100;

    SheetStore(Database &db, GridStore &grid, std::int64_t maxOwned = ContentLimits{}.maxSheetsPerAccount)
        : m_db(db), m_grid(grid), m_maxOwned(maxOwned) {}

    // Throws Refusal when the owner already owns as many sheets as an account may.
    Sheet create(std::int64_t ownerId, const std::string &title);
    std::vector<Sheet> visibleTo(std::int64_t accountId);
    std::optional<Role> role(std::int64_t sheetId, std::int64_t accountId);
    std::optional<Sheet> sheet(std::int64_t sheetId);
    void rename(std::int64_t sheetId, const std::string &title);
    // Deletes the sheet with everything in it (used to undo a failed import).
    void remove(std::int64_t sheetId);
    // The tab belongs to the sheet (paths carry both, and they must agree).
    bool hasTab(std::int64_t sheetId, std::int64_t tabId);

    static bool mayWrite(Role role) { return role == Role::Owner || role == Role::Editor; }
    static bool mayComment(Role role) { return role != Role::Viewer; }
    static bool mayShare(Role role) { return role == Role::Owner; }
    static std::string roleName(Role role);
    static std::optional<Role> parseRole(std::string_view name);

    // SheetSummary {ID, Title, TabID, TabName, Preview}.
    nlohmann::json summary(const Sheet &sheet);
    // SheetPage {Sheet, Rows, Cols, Truncated, MayWrite, MayComment, MayShare, FillSwatches, InkSwatches,
    // NumberFormats, Warned?}.
    nlohmann::json page(const Sheet &sheet, Role role);

private:
    nlohmann::json preview(std::int64_t tabId);

    Database &m_db;
    GridStore &m_grid;
    std::int64_t m_maxOwned;
};
