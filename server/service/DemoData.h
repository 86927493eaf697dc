#pragma once

#include <string>

class Accounts;
class Database;
class GridWriter;
class SheetStore;

// The demo workspace of --demo: an account and a few sheets, made on the first start only.
class DemoData {
public:
    static constexpr const char *email = "demo@example.com";

    DemoData(Database &db, Accounts &accounts, SheetStore &sheets, GridWriter &writer, std::string folder)
        : m_db(db), m_accounts(accounts), m_sheets(sheets), m_writer(writer), m_folder(std::move(folder)) {}

    // Populates once; returns the demo password (kept in the data folder for later starts), or an
    // empty text when it is no longer known.
    std::string ensure();

private:
    bool populated();
    void markPopulated();
    void budget(long long ownerId);
    void numbers(long long ownerId, const std::string &title, int rows, int cols);
    std::string passwordFile() const { return m_folder + "/demo-password"; }

    Database &m_db;
    Accounts &m_accounts;
    SheetStore &m_sheets;
    GridWriter &m_writer;
    std::string m_folder;
};
