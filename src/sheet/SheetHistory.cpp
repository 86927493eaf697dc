#include "sheet/SheetHistory.h"

#include "sheet/SheetModel.h"

void SheetHistory::setHistory(QList<HistoryEntry> history) {
    if (m_history == history)
        return;
    m_history = std::move(history);
    Q_EMIT historyChanged();
}

QCoro::Task<> SheetHistory::loadHistory(CancellationToken token) {
    auto self = m_model.shared_from_this();
    const std::optional<HistoryPage> answer =
        co_await m_model.loadCurrent<HistoryPage>(QStringLiteral("/history"), token);
    if (answer)
        setHistory(answer->Entries.value_or(QList<HistoryEntry>()));
}

QCoro::Task<bool> SheetHistory::restore(quint64 entry) {
    auto self = m_model.shared_from_this();
    const FormFields fields{{QStringLiteral("event"), QString::number(entry)}};
    const bool restored = co_await m_model.command(QStringLiteral("/restore"), fields);
    co_await loadHistory();
    co_return restored;
}

QCoro::Task<bool> SheetHistory::undo() {
    auto self = m_model.shared_from_this();
    co_return co_await m_model.command(QStringLiteral("/undo"), FormFields());
}

void SheetHistory::sheetOpened() {
    setHistory({});
}
