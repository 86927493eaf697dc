// The write path of the sheet model: every change of cell contents goes through `write`.
#include "sheet/SheetModel.h"

#include <algorithm>

QCoro::Task<bool> SheetModel::write(QList<CellWrite> writes, bool retrying) {
    auto self = shared_from_this();
    if (!m_failedWrites.isEmpty() && !retrying) {
        setError(QStringLiteral("Retry or discard the pending edits before making another change."));
        co_return false;
    }
    if (!mayWrite() || m_busy)
        co_return false;
    if (writes.isEmpty())
        co_return true;
    const bool oversized = std::any_of(writes.cbegin(), writes.cend(), [](const CellWrite &w) {
        return w.raw.toUtf8().size() > maxInputBytes;
    });
    if (oversized) {
        setError(QStringLiteral("A cell exceeds the input size limit. Nothing was changed."));
        co_return false;
    }
    setBusy(true);
    const QString path = grid() + QStringLiteral("/cells/batch");
    qsizetype confirmed = 0;
    try {
        while (confirmed < writes.size()) {
            const std::pair<QByteArray, qsizetype> batch = co_await m_wire.encode(writes, confirmed);
            const std::pair<QByteArray, int> answer = co_await m_client->response(
                path, QStringLiteral("POST"), batch.first, QStringLiteral("application/json"), gridMaxBytes, {});
            if (answer.second < 200 || answer.second > 299)
                throw NativeClientError::message(QStringLiteral("The server did not confirm the edit."));
            GridResponse response = co_await m_wire.decodeGridResponse(answer.first);
            co_await accept(std::move(response));
            confirmed += batch.second;
        }
    } catch (...) {
        const QString reason = NativeClientError::messageOf(std::current_exception());
        setFailedWrites(writes.mid(confirmed));
        setError(QString::number(confirmed) + QStringLiteral(" cells confirmed; ") +
                 QString::number(m_failedWrites.size()) + QStringLiteral(" still need saving. ") + reason);
        setBusy(false);
        co_return false;
    }
    setFailedWrites({});
    setError(QString());
    setNotice(QStringLiteral("Saved"));
    if (m_showTable)
        co_await m_sheetTable.loadTable(); // the table shows the confirmed values
    setBusy(false);
    co_return true;
}

QCoro::Task<> SheetModel::retryWrites() {
    auto self = shared_from_this();
    const QList<CellWrite> pending = m_failedWrites;
    const bool saved = co_await write(pending, true);
    if (saved && pending.size() == 1 && Coordinate{pending.first().r, pending.first().c} == m_selectionAnchor &&
        pending.first().raw == m_draft)
        setDraftPair(m_draft, m_draft); // the retried write was the active cell's edit
}

QCoro::Task<> SheetModel::commit(bool moveRight, bool backwards) {
    auto self = shared_from_this();
    const Coordinate active = m_selectionAnchor;
    if (m_draft != m_originalDraft) {
        QList<CellWrite> edit{CellWrite{active.r, active.c, m_draft, std::nullopt, std::nullopt}};
        const bool saved = co_await write(std::move(edit), false);
        if (!saved)
            co_return;
    }
    setDraftPair(m_draft, m_draft);
    const qint64 step = backwards ? -1 : 1;
    Coordinate next = active;
    if (moveRight)
        next.c += step;
    else
        next.r += step;
    select(clampedToGrid(next));
}

QCoro::Task<> SheetModel::saveAll() {
    auto self = shared_from_this();
    if (!m_failedWrites.isEmpty())
        co_await retryWrites();
    if (m_failedWrites.isEmpty() && m_draft != m_originalDraft)
        co_await commit(false, false);
}

void SheetModel::discard() {
    const QString raw = rawAt(m_selectionAnchor);
    setDraftPair(raw, raw);
    setError(QString());
}
