#pragma once

#include "async/CancellationToken.h"
#include "sheet/SheetPanelWire.h"

#include <QCoroTask>
#include <QList>
#include <QObject>

class SheetModel;

// The comment threads of the open sheet, one per cell: loading them, adding a comment to the cell
// at the selection anchor and resolving a thread. The list is fetched again after every change.
class SheetComments : public QObject {
    Q_OBJECT
    Q_PROPERTY(QList<CommentThread> threads READ threads NOTIFY threadsChanged)

public:
    explicit SheetComments(SheetModel &model) : m_model(model) {}

    // In the server's order.
    const QList<CommentThread> &threads() const { return m_threads; }
    // Whether the open sheet lets this account add comments and resolve threads.
    bool mayComment() const;
    // Whether "Add comment" may send `body`: some text beyond white space, no unsaved cell edit,
    // no request in flight.
    bool mayAdd(const QString &body) const;

    // Replaces `threads`; a failure keeps them and shows its message in the model's `error`.
    QCoro::Task<> load(CancellationToken token = {});
    // Adds `body`, unchanged, to the thread of the selection anchor's cell, then reloads. True only
    // when the server answered "added": the caller then clears its text.
    QCoro::Task<bool> add(QString body);
    // Marks the thread of the cell (`row`, `col`) resolved, then reloads.
    QCoro::Task<> resolve(qint64 row, qint64 col);

    // Another sheet was opened: its threads are not known yet.
    void sheetOpened();

Q_SIGNALS:
    void threadsChanged();

private:
    void setThreads(QList<CommentThread> threads);

    SheetModel &m_model;
    QList<CommentThread> m_threads;
};
