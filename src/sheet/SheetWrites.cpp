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
            const std::pair<QByteArray, int> answer =
                co_await m_client->response(path, QStringLiteral("POST"), batch.first,
                                            QStringLiteral("application/json"), gridMaxBytes, {});
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
    // The active cell's pending text becomes its confirmed text: text typed after it (or while it
    // travels) stays an edit of its own, also when it went back to the old text, so that no
    // answer can take it for a clean draft and overwrite it. The pending write itself keeps the
    // model unconfirmed until it is saved.
    const Coordinate anchor = m_selectionAnchor;
    const auto own = std::find_if(pending.crbegin(), pending.crend(), [&anchor](const CellWrite &w) {
        return Coordinate{w.r, w.c} == anchor;
    });
    if (own != pending.crend())
        setDraftPair(own->raw, m_draft);
    const bool saved = co_await write(pending, true);
    if (saved && own != pending.crend() && m_selectionAnchor == anchor && m_draft == own->raw)
        setDraftPair(m_draft, m_draft); // the retried write was the active cell's edit
}

QCoro::Task<> SheetModel::commit(bool moveRight, bool backwards) {
    auto self = shared_from_this();
    const Coordinate active = m_selectionAnchor;
    if (m_draft != m_originalDraft) {
        const QString written = m_draft;
        const QString confirmed = m_originalDraft;
        // While the text travels it counts as saved: text typed meanwhile, even the old text
        // again, is an edit of its own that no answer takes for a clean draft and overwrites, and
        // the move below is then refused.
        setDraftPair(written, m_draft);
        QList<CellWrite> edit{CellWrite{active.r, active.c, written, std::nullopt, std::nullopt}};
        const bool saved = co_await write(std::move(edit), false);
        if (!saved) {
            // Not saved after all: unless the draft was reloaded meanwhile, it is unsaved again.
            if (m_originalDraft == written && m_selectionAnchor == active)
                setDraftPair(confirmed, m_draft);
            co_return;
        }
    }
    const qint64 step = backwards ? -1 : 1;
    Coordinate next = active;
    if (moveRight)
        next.c = std::clamp(active.c + step, qint64(0), std::max(visibleCols() - 1, qint64(0)));
    else
        next.r = std::clamp(active.r + step, qint64(0), std::max(visibleRows() - 1, qint64(0)));
    select(next);
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
