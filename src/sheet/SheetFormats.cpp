// Formatting and sizes: each change is one request whose grid answer goes through `accept`.
#include "sheet/SheetModel.h"

#include "async/CancellationError.h"

#include <nlohmann/json.hpp>

#include <cmath>

const CellStyle *SheetModel::styleOf(const Coordinate &cell) const {
    const Cell *found = m_cells.find(cell);
    const QString key = found ? found->f.value_or(QString()) : QString();
    const auto style = m_styles.constFind(key);
    return style == m_styles.constEnd() ? nullptr : &style.value();
}

bool SheetModel::everySelectedCell(std::optional<bool> CellStyle::*flag) const {
    for (const Coordinate &cell : m_selection.coordinates()) {
        const CellStyle *style = styleOf(cell);
        if (!style || !(style->*flag).value_or(false))
            return false;
    }
    return true;
}

QCoro::Task<> SheetModel::format(FormatChanges changes) {
    auto self = shared_from_this();
    if (!mayWrite() || m_busy || hasUnconfirmedChanges())
        co_return;
    nlohmann::json body = nlohmann::json::object();
    for (auto it = changes.cbegin(); it != changes.cend(); ++it) {
        const std::string key = it.key().toStdString();
        if (const bool *flag = std::get_if<bool>(&it.value()))
            body[key] = *flag;
        else
            body[key] = std::get<QString>(it.value()).toStdString();
    }
    // The range is the selection's, whatever the changes carry.
    body["r1"] = m_selection.start.r;
    body["c1"] = m_selection.start.c;
    body["r2"] = m_selection.end.r;
    body["c2"] = m_selection.end.c;
    setBusy(true);
    try {
        const QByteArray encoded = QByteArray::fromStdString(body.dump());
        const NativeResponse answer =
            co_await m_client->responseDetails(grid() + QStringLiteral("/format"), QStringLiteral("POST"),
                                               encoded, QStringLiteral("application/json"), pageMaxBytes, {});
        answer.requireSuccess();
        // A format answer may hold thousands of cells: decoded on a worker, like every grid answer.
        GridResponse response = co_await m_wire.decodeGridResponse(answer.data());
        co_await accept(std::move(response));
    } catch (const CancellationError &) {
    } catch (...) {
        setError(NativeClientError::messageOf(std::current_exception()));
    }
    setBusy(false);
}

QCoro::Task<> SheetModel::resize(QString axis, qint64 size, std::optional<qint64> index) {
    auto self = shared_from_this();
    if (!mayWrite() || m_busy || hasUnconfirmedChanges())
        co_return;
    setBusy(true);
    const bool column = axis == QStringLiteral("col");
    const qint64 at = index.value_or(column ? m_selectionAnchor.c : m_selectionAnchor.r);
    try {
        const QByteArray encoded =
            QByteArray::fromStdString(nlohmann::json{{axis.toStdString(), at}, {"size", size}}.dump());
        const std::pair<QByteArray, int> answer =
            co_await m_client->response(grid() + QStringLiteral("/size"), QStringLiteral("POST"), encoded,
                                        QStringLiteral("application/json"), gridMaxBytes, {});
        if (answer.second < 200 || answer.second > 299)
            throw NativeClientError::message(QStringLiteral("The server did not confirm the resize."));
        GridResponse response = co_await m_wire.decodeGridResponse(answer.first);
        co_await accept(std::move(response));
    } catch (const CancellationError &) {
    } catch (...) {
        setError(NativeClientError::messageOf(std::current_exception()));
    }
    setBusy(false);
}

QCoro::Task<> SheetModel::fitColumn(qint64 col) {
    auto self = shared_from_this();
    if (col < 0 || col >= visibleCols() || !mayWrite() || m_busy || hasUnconfirmedChanges())
        co_return;
    double width = minimumFitWidth;
    m_cells.forEach([&](const Cell &cell) {
        if (cell.c != col)
            return;
        const CellStyle *style = styleOf(cell.coordinate());
        const bool bold = style && style->b.value_or(false);
        const bool italic = style && style->i.value_or(false);
        width = std::max(width, m_measure(cell.display, bold, italic) + fitMargin);
    });
    const qint64 size = std::min(static_cast<qint64>(std::ceil(width)), maximumFitWidth);
    co_await resize(QStringLiteral("col"), size, col);
}
