#pragma once

#include "async/CancellationToken.h"
#include "sheet/SheetWire.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

class SheetModel;

// The server's log of cell edits for the open sheet, restoring to the state before one of them,
// and the server-side undo of the user's last edit.
class SheetHistory : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<HistoryEntry> history READ history NOTIFY historyChanged)

public:
    explicit SheetHistory(SheetModel &model) : m_model(model) {}

    // In the server's order.
    const QList<HistoryEntry> &history() const { return m_history; }

    // Replaces `history` with the server's log; an answer for a sheet no longer open is dropped.
    QCoro::Task<> loadHistory(CancellationToken token = {});
    // Restores the sheet to its state before the edit `entry`, then reloads the log whatever the
    // outcome. True when the server confirmed the restore.
    QCoro::Task<bool> restore(quint64 entry);
    // Undoes the user's last edit on the server. True when confirmed.
    QCoro::Task<bool> undo();

    // Another sheet was opened: its log starts empty.
    void sheetOpened();

Q_SIGNALS:
    void historyChanged();

private:
    void setHistory(QList<HistoryEntry> history);

    SheetModel &m_model;
    QList<HistoryEntry> m_history;
};
