#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <optional>
#include <string>
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

    SheetStore(Database &db, GridStore &grid) : m_db(db), m_grid(grid) {}

    Sheet create(std::int64_t ownerId, const std::string &title);
    std::vector<Sheet> visibleTo(std::int64_t accountId);
    std::optional<Role> role(std::int64_t sheetId, std::int64_t accountId);
    std::optional<Sheet> sheet(std::int64_t sheetId);
    // The tab belongs to the sheet (paths carry both, and they must agree).
    bool hasTab(std::int64_t sheetId, std::int64_t tabId);

    static bool mayWrite(Role role) { return role == Role::Owner || role == Role::Editor; }
    static bool mayComment(Role role) { return role != Role::Viewer; }
    static bool mayShare(Role role) { return role == Role::Owner; }

    // SheetSummary {ID, Title, TabID, TabName, Preview}.
    nlohmann::json summary(const Sheet &sheet);
    // SheetPage {Sheet, Rows, Cols, Truncated, MayWrite, MayComment, MayShare, FillSwatches, InkSwatches,
    // NumberFormats}.
    nlohmann::json page(const Sheet &sheet, Role role);

private:
    nlohmann::json preview(std::int64_t tabId);

    Database &m_db;
    GridStore &m_grid;
};
