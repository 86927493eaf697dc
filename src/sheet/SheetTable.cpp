#include "sheet/SheetTable.h"

#include "sheet/SheetModel.h"

const QStringList SheetTable::filterOperators{QStringLiteral("contains"), QStringLiteral("equals"),
                                              QStringLiteral("gt"), QStringLiteral("lt"),
                                              QStringLiteral("nonempty")};

void SheetTable::setView(const ViewSpec &view) {
    if (m_view == view)
        return;
    m_view = view;
    Q_EMIT viewChanged();
}

void SheetTable::setTablePage(qint64 page) {
    if (m_tablePage == page)
        return;
    m_tablePage = page;
    Q_EMIT tablePageChanged();
}

QCoro::Task<bool> SheetTable::saveView() {
    auto self = m_model.shared_from_this();
    const FormFields fields{
        {QStringLiteral("sortCol"), QString::number(m_view.sortCol)},
        {QStringLiteral("sortDesc"), m_view.sortDesc ? QStringLiteral("1") : QString()},
        {QStringLiteral("filterCol"), QString::number(m_view.filterCol)},
        {QStringLiteral("filterOp"), m_view.filterOp},
        {QStringLiteral("filterVal"), m_view.filterVal},
    };
    co_return co_await m_model.command(QStringLiteral("/view"), fields);
}

QCoro::Task<> SheetTable::loadTable(CancellationToken token) {
    auto self = m_model.shared_from_this();
    const quint64 ticket = ++m_lastLoad;
    const std::optional<TablePage> answer = co_await m_model.loadCurrent<TablePage>(
        QStringLiteral("/table?page=") + QString::number(m_tablePage), token);
    if (!answer || ticket != m_lastLoad)
        co_return;
    m_table = *answer;
    Q_EMIT tableChanged();
    setView(answer->View);
}

bool SheetTable::mayGoBack() const {
    return m_table && m_table->HasPrev && !m_model.hasUnconfirmedChanges() && !m_model.busy();
}

bool SheetTable::mayGoForward() const {
    return m_table && m_table->HasNext && !m_model.hasUnconfirmedChanges() && !m_model.busy();
}

QCoro::Task<> SheetTable::previousPage() {
    return turnPage(-1);
}

QCoro::Task<> SheetTable::nextPage() {
    return turnPage(1);
}

QCoro::Task<> SheetTable::turnPage(qint64 step) {
    auto self = m_model.shared_from_this();
    if (!(step < 0 ? mayGoBack() : mayGoForward()))
        co_return;
    setTablePage(m_tablePage + step);
    co_await loadTable();
}

void SheetTable::sheetOpened() {
    ++m_lastLoad; // a load still travelling belongs to the sheet before
    if (m_table) {
        m_table.reset();
        Q_EMIT tableChanged();
    }
    setTablePage(1);
}
