#pragma once

#include "sheets/SheetAccess.h"

#include <httplib.h>

#include <string>

class Database;
class GridStore;
class ImportJobs;

// Workbook files: POST /sheets/import (multipart, one part "file") starts an import job followed
// at /api/native/jobs/{job}; GET /sheets/{ID}/export.xlsx downloads the whole sheet.
class WorkbookRoutes {
public:
    static constexpr std::size_t maxWorkbookBytes = 20 * 1024 * 1024;

    WorkbookRoutes(SheetAccess &access, Database &db, GridStore &grid, ImportJobs &jobs, std::string folder)
        : m_access(access), m_db(db), m_grid(grid), m_jobs(jobs), m_folder(std::move(folder)) {}

    void mount(httplib::Server &server);

private:
    void startImport(const httplib::Request &req, httplib::Response &res);
    void job(const httplib::Request &req, httplib::Response &res);
    void exportWorkbook(const httplib::Request &req, httplib::Response &res);

    SheetAccess &m_access;
    Database &m_db;
    GridStore &m_grid;
    ImportJobs &m_jobs;
    std::string m_folder;
};
