#include "service/DemoData.h"

#include "base/Tokens.h"
#include "sheets/GridWriter.h"
#include "sheets/SheetStore.h"
#include "signin/Accounts.h"
#include "storage/Database.h"

#include <fstream>
#include <sys/stat.h>

bool DemoData::populated() {
    auto lock = m_db.lock();
    auto query = m_db.prepare("SELECT 1 FROM settings WHERE key = 'demo-populated'");
    return query.step();
}

void DemoData::markPopulated() {
    auto lock = m_db.lock();
    auto insert = m_db.prepare("INSERT OR REPLACE INTO settings (key, value) VALUES ('demo-populated', '1')");
    insert.run();
}

std::string DemoData::ensure() {
    const auto storedPassword = [this] {
        std::ifstream file(passwordFile());
        std::string password;
        std::getline(file, password);
        return password;
    };
    if (populated())
        return storedPassword();
    // An account left by a start that stopped half-way keeps the password written before it was
    // made; a fresh password would not let anyone in.
    const auto existing = m_accounts.find(email);
    std::string password = existing ? storedPassword() : std::string();
    if (password.empty()) {
        password = Tokens::random().substr(0, 16);
        std::ofstream file(passwordFile(), std::ios::trunc);
        file << password << '\n';
        file.close();
        ::chmod(passwordFile().c_str(), 0600);
    }
    const auto account = existing ? *existing : m_accounts.create(email, "Demo User", password);
    budget(account.id);
    numbers(account.id, "Grid 500 × 200", 500, 200);
    numbers(account.id, "Large sheet 800 × 250", 800, 250);
    markPopulated();
    return password;
}

void DemoData::budget(long long ownerId) {
    const auto sheet = m_sheets.create(ownerId, "Household budget");
    const std::vector<std::vector<std::string>> rows = {
        {"Item", "Q1", "Q2", "Q3", "Q4", "Total"},
        {"Rent", "2400", "2400", "2400", "2520", "=SUM(B2:E2)"},
        {"Groceries", "910.5", "876.2", "940", "1012.75", "=SUM(B3:E3)"},
        {"Energy", "420", "310", "180", "390", "=SUM(B4:E4)"},
        {"Transport", "160", "160", "220", "160", "=SUM(B5:E5)"},
        {"Leisure", "300", "450", "800", "520", "=SUM(B6:E6)"},
        {"Total", "=SUM(B2:B6)", "=SUM(C2:C6)", "=SUM(D2:D6)", "=SUM(E2:E6)", "=SUM(F2:F6)"},
        {},
        {"Growth Q1 to Q4", "=E7/B7-1"},
        {"Share of rent", "=F2/F7"},
        {"Updated", "45658"},
        {"Check", "=F7/0"},
    };
    std::vector<GridWriter::CellWrite> writes;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        for (std::size_t c = 0; c < rows[r].size(); ++c)
            writes.push_back(
                {static_cast<std::int64_t>(r), static_cast<std::int64_t>(c), rows[r][c], {}, {}});
    }
    m_writer.writeCells(sheet.tabId, ownerId, writes);

    GridWriter::FormatChange header;
    header.r1 = 0, header.c1 = 0, header.r2 = 0, header.c2 = 5;
    header.bold = true;
    header.fill = "blue";
    header.align = "center";
    m_writer.format(sheet.tabId, header);
    GridWriter::FormatChange money;
    money.r1 = 1, money.c1 = 1, money.r2 = 6, money.c2 = 5;
    money.numfmt = "$#,##0.00";
    m_writer.format(sheet.tabId, money);
    GridWriter::FormatChange totals;
    totals.r1 = 6, totals.c1 = 0, totals.r2 = 6, totals.c2 = 5;
    totals.bold = true;
    totals.fill = "yellow";
    m_writer.format(sheet.tabId, totals);
    GridWriter::FormatChange percent;
    percent.r1 = 8, percent.c1 = 1, percent.r2 = 9, percent.c2 = 1;
    percent.numfmt = "0.00%";
    percent.ink = "green";
    m_writer.format(sheet.tabId, percent);
    GridWriter::FormatChange date;
    date.r1 = 10, date.c1 = 1, date.r2 = 10, date.c2 = 1;
    date.numfmt = "yyyy-mm-dd";
    date.italic = true;
    m_writer.format(sheet.tabId, date);
    m_writer.resize(sheet.tabId, "col", 0, 160);
    m_writer.resize(sheet.tabId, "row", 0, 36);
}

void DemoData::numbers(long long ownerId, const std::string &title, int rows, int cols) {
    const auto sheet = m_sheets.create(ownerId, title);
    std::vector<GridWriter::CellWrite> writes;
    writes.reserve(static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols));
    for (int r = 0; r < rows; ++r) {
        for (int c = 0; c < cols; ++c)
            writes.push_back({r, c, std::to_string((r * 37 + c * 101) % 1000), {}, {}});
    }
    m_writer.writeCells(sheet.tabId, ownerId, writes);
}
