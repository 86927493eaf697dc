#pragma once

#include "async/CancellationToken.h"
#include "sheet/SheetWire.h"

#include <QCoroTask>
#include <QObject>
#include <QStringList>

#include <optional>

class SheetModel;

// The sorted and filtered table of the open sheet: the sort and filter settings being edited, and
// the page of rows the server computed for them. Cells keep their own coordinates; only the order
// and the choice of rows differ from the grid.
class SheetTable : public QObject {
    Q_OBJECT
    Q_PROPERTY(ViewSpec view READ view WRITE setView NOTIFY viewChanged)
    Q_PROPERTY(std::optional<TablePage> table READ table NOTIFY tableChanged)
    Q_PROPERTY(qint64 tablePage READ tablePage NOTIFY tablePageChanged)

public:
    // The filter comparisons, in the order the Data panel offers them.
    static const QStringList filterOperators;
    // The column pickers offer A to Z, whatever the sheet's width.
    static constexpr qint64 pickerColumns = 26;

    explicit SheetTable(SheetModel &model) : m_model(model) {}

    const ViewSpec &view() const { return m_view; }
    void setView(const ViewSpec &view);
    const std::optional<TablePage> &table() const { return m_table; }
    qint64 tablePage() const { return m_tablePage; }

    // Stores `view` on the server through the model's guarded command. True when confirmed.
    QCoro::Task<bool> saveView();
    // Fetches page `tablePage` into `table` and `view`. When loads overlap, only the answer to the
    // one started last is applied; answers for a sheet no longer open are dropped.
    QCoro::Task<> loadTable(CancellationToken token = {});

    // The page buttons: enabled only with a page in that direction and no edit or request pending.
    bool mayGoBack() const;
    bool mayGoForward() const;
    QCoro::Task<> previousPage();
    QCoro::Task<> nextPage();

    // Another sheet was opened: its table starts empty, at page 1.
    void sheetOpened();

Q_SIGNALS:
    void viewChanged();
    void tableChanged();
    void tablePageChanged();

private:
    QCoro::Task<> turnPage(qint64 step);
    void setTablePage(qint64 page);

    SheetModel &m_model;
    ViewSpec m_view;
    std::optional<TablePage> m_table;
    qint64 m_tablePage = 1;
    quint64 m_lastLoad = 0; // numbers the loads, so that an older answer never replaces a newer one
};
