#include "sheet/SheetComments.h"

#include "sheet/SheetModel.h"

void SheetComments::setThreads(QList<CommentThread> threads) {
    if (m_threads == threads)
        return;
    m_threads = std::move(threads);
    Q_EMIT threadsChanged();
}

bool SheetComments::mayComment() const {
    return m_model.page() && m_model.page()->MayComment;
}

bool SheetComments::mayAdd(const QString &body) const {
    return !body.trimmed().isEmpty() && m_model.draft() == m_model.originalDraft() && !m_model.busy();
}

QCoro::Task<> SheetComments::load(CancellationToken token) {
    auto self = m_model.shared_from_this();
    const std::optional<CommentsPage> answer =
        co_await m_model.loadCurrent<CommentsPage>(QStringLiteral("/comments"), token);
    if (answer)
        setThreads(answer->Threads.value_or(QList<CommentThread>()));
}

QCoro::Task<bool> SheetComments::add(QString body) {
    auto self = m_model.shared_from_this();
    const Coordinate anchor = m_model.selectionAnchor();
    // Fields are built before the co_await: GCC 12 cannot hold a braced list across one.
    const FormFields fields{{QStringLiteral("r"), QString::number(anchor.r)},
                            {QStringLiteral("c"), QString::number(anchor.c)},
                            {QStringLiteral("body"), body}};
    const bool confirmed = co_await m_model.command(QStringLiteral("/comments"), fields);
    // A refused command leaves the notice of an earlier request: only a confirmed "added" counts.
    const bool added = confirmed && m_model.lastNotice() == QStringLiteral("added");
    co_await load();
    co_return added;
}

QCoro::Task<> SheetComments::resolve(qint64 row, qint64 col) {
    auto self = m_model.shared_from_this();
    const FormFields fields{{QStringLiteral("r"), QString::number(row)},
                            {QStringLiteral("c"), QString::number(col)}};
    co_await m_model.command(QStringLiteral("/comments/resolve"), fields);
    co_await load();
}

void SheetComments::sheetOpened() {
    setThreads({});
}
