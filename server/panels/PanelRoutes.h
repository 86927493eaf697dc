#pragma once

#include "sheets/SheetAccess.h"

#include <httplib.h>

class Comments;
class EditHistory;
class GridWriter;
class TableView;

// The form commands and reads of an open sheet's panels under /sheets/{ID}/: rename, the table
// view and its settings, version history with restore and undo, and comments.
class PanelRoutes {
public:
    static constexpr std::size_t maxTitleLength = 200;

    PanelRoutes(SheetAccess &access, SheetStore &sheets, GridWriter &writer, TableView &table,
                EditHistory &history, Comments &comments)
        : m_access(access), m_sheets(sheets), m_writer(writer), m_table(table), m_history(history),
          m_comments(comments) {}

    void mount(httplib::Server &server);

private:
    void rename(const httplib::Request &req, httplib::Response &res);
    void saveView(const httplib::Request &req, httplib::Response &res);
    void tablePage(const httplib::Request &req, httplib::Response &res);
    void history(const httplib::Request &req, httplib::Response &res);
    void restore(const httplib::Request &req, httplib::Response &res);
    void undo(const httplib::Request &req, httplib::Response &res);
    void comments(const httplib::Request &req, httplib::Response &res);
    void addComment(const httplib::Request &req, httplib::Response &res);
    void resolveComment(const httplib::Request &req, httplib::Response &res);

    SheetAccess &m_access;
    SheetStore &m_sheets;
    GridWriter &m_writer;
    TableView &m_table;
    EditHistory &m_history;
    Comments &m_comments;
};
