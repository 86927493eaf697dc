#include "sheet/SheetModel.h"

#include "async/CancellationError.h"
#include "async/CancellationSource.h"

#include <QThreadPool>
#include <QUrl>

#include <algorithm>
#include <deque>
#include <limits>

namespace {
const QString jsonType = QStringLiteral("application/json");

// One tile of a reload: requested, then decoded on the thread pool as soon as it arrives, so tiles
// that arrive together are decoded side by side. Holds what it uses, never the model.
QCoro::Task<GridResponse> fetchTile(std::shared_ptr<NativeTransport> client, SheetWireWorker wire,
                                    QString path, CancellationToken token) {
    const QString method = QStringLiteral("GET");
    const std::pair<QByteArray, int> answer =
        co_await client->response(path, method, std::nullopt, jsonType, SheetModel::gridMaxBytes, token);
    if (answer.second != 200)
        throw NativeClientError::message(QStringLiteral("The sheet could not be refreshed."));
    co_return co_await wire.decodeGridResponse(answer.first);
}
} // namespace

std::shared_ptr<SheetModel> SheetModel::make(std::shared_ptr<NativeTransport> client,
                                             SheetModelEnvironment environment) {
    if (!environment.clipboard)
        environment.clipboard = std::make_shared<SystemClipboard>();
    if (!environment.measure)
        environment.measure = measureCellText;
    if (!environment.reconnectClock)
        environment.reconnectClock = NativeClock::system();
    return std::shared_ptr<SheetModel>(new SheetModel(std::move(client), std::move(environment)));
}

SheetModel::SheetModel(std::shared_ptr<NativeTransport> client, SheetModelEnvironment environment)
    : m_client(std::move(client)), m_clipboard(std::move(environment.clipboard)),
      m_measure(std::move(environment.measure)), m_connectivity(std::move(environment.connectivity)),
      m_reconnectClock(std::move(environment.reconnectClock)) {}

SheetModel::~SheetModel() = default;

QString SheetModel::base() const {
    return QStringLiteral("/sheets/") + QString::number(m_page ? m_page->Sheet.ID : 0);
}

QString SheetModel::grid() const {
    return QStringLiteral("/api") + base() + QStringLiteral("/tabs/") +
           QString::number(m_page ? m_page->Sheet.TabID : 0);
}

void SheetModel::setDraft(const QString &draft) {
    setDraftPair(m_originalDraft, draft);
}

void SheetModel::setRangeText(const QString &text) {
    assign(m_rangeText, text, &SheetModel::rangeTextChanged);
}

void SheetModel::setGridFocused(bool focused) {
    assign(m_gridFocused, focused, &SheetModel::gridFocusedChanged);
}

void SheetModel::setError(const QString &error) {
    assign(m_error, error, &SheetModel::errorChanged);
}

void SheetModel::setNotice(const QString &notice) {
    assign(m_notice, notice, &SheetModel::noticeChanged);
}

void SheetModel::setShowTable(bool show) {
    assign(m_showTable, show, &SheetModel::showTableChanged);
}

void SheetModel::setBusy(bool busy) {
    assign(m_busy, busy, &SheetModel::busyChanged);
}

void SheetModel::setDraftPair(const QString &original, const QString &draft) {
    const bool before = hasUnconfirmedChanges();
    assign(m_originalDraft, original, &SheetModel::originalDraftChanged);
    assign(m_draft, draft, &SheetModel::draftChanged);
    if (before != hasUnconfirmedChanges())
        Q_EMIT hasUnconfirmedChangesChanged();
}

void SheetModel::setFailedWrites(QList<CellWrite> writes) {
    const bool before = hasUnconfirmedChanges();
    assign(m_failedWrites, std::move(writes), &SheetModel::failedWritesChanged);
    if (before != hasUnconfirmedChanges())
        Q_EMIT hasUnconfirmedChangesChanged();
}

void SheetModel::replaceGrid(CellMap cells, StyleMap styles, Sizes sizes) {
    // A whole grid takes tens of milliseconds to free: let a worker thread drop the old one.
    QThreadPool::globalInstance()->start([old = std::exchange(m_cells, {})]() {});
    // Whole-grid replacements are rarely equal; skip the deep comparison and always notify.
    m_cells = std::move(cells);
    Q_EMIT cellsChanged();
    m_styles = std::move(styles);
    Q_EMIT stylesChanged();
    assign(m_sizes, std::move(sizes), &SheetModel::sizesChanged);
}

QString SheetModel::rawAt(const Coordinate &cell) const {
    const Cell *found = m_cells.find(cell);
    return found ? found->raw : QString();
}

void SheetModel::refreshDraftIfClean() {
    if (m_draft != m_originalDraft)
        return;
    const QString raw = rawAt(m_selectionAnchor);
    setDraftPair(raw, raw);
}

QCoro::Task<> SheetModel::loadList(CancellationToken token) {
    auto self = shared_from_this();
    const QUuid ticket = QUuid::createUuid();
    m_listRequest = ticket;
    const ListState before = m_listState;
    // A cancelled load is no failure, but it must not leave the list loading with nothing on the
    // way: the list goes back to what it showed, or to failed when it never loaded.
    const auto cancelled = [this, ticket, before] {
        if (m_listRequest == ticket)
            assign(m_listState, before == ListState::loading ? ListState::failed : before,
                   &SheetModel::listStateChanged);
    };
    assign(m_listState, ListState::loading, &SheetModel::listStateChanged);
    try {
        const auto list = co_await m_client->request<SheetList>(
            QStringLiteral("/sheets"), QStringLiteral("GET"), std::nullopt, jsonType, pageMaxBytes, token);
        if (m_listRequest != ticket)
            co_return;
        if (token.isCancelled()) {
            cancelled();
            co_return;
        }
        assign(m_sheets, list.Sheets.value_or(QList<SheetSummary>()), &SheetModel::sheetsChanged);
        assign(m_listState, ListState::loaded, &SheetModel::listStateChanged);
        setError(QString());
    } catch (const CancellationError &) {
        cancelled();
        co_return;
    } catch (...) {
        if (m_listRequest != ticket)
            co_return;
        assign(m_listState, ListState::failed, &SheetModel::listStateChanged);
        setError(NativeClientError::messageOf(std::current_exception()));
    }
}

QCoro::Task<> SheetModel::open(SheetSummary summary, CancellationToken token) {
    auto self = shared_from_this();
    if (hasUnconfirmedChanges() || m_busy) {
        setError(QStringLiteral("Save or discard your cell edit before changing sheets."));
        co_return;
    }
    setBusy(true);
    std::optional<SheetPage> page;
    try {
        page = co_await m_client->request<SheetPage>(QStringLiteral("/sheets/") + QString::number(summary.ID),
                                                     QStringLiteral("GET"), std::nullopt, jsonType,
                                                     pageMaxBytes, token);
    } catch (const CancellationError &) {
        setBusy(false);
        co_return;
    } catch (...) {
        setError(NativeClientError::messageOf(std::current_exception()));
        setBusy(false);
        co_return;
    }
    assign(m_copied, std::optional<CellRange>(), &SheetModel::copiedChanged);
    assign(m_copiedText, QString(), &SheetModel::copiedTextChanged);
    assign(m_page, std::move(page), &SheetModel::pageChanged);
    assign(m_version, quint64(0), &SheetModel::versionChanged);
    // Sizes stay until the new tab's first reload replaces them.
    replaceGrid({}, {}, m_sizes);
    m_sheetTable.sheetOpened();
    m_sheetHistory.sheetOpened();
    m_sheetComments.sheetOpened();
    m_sheetSharing.sheetOpened();
    setShowTable(false);
    co_await refresh(token);
    setBusy(false);
    selectCell(Coordinate{0, 0});
}

QCoro::Task<std::optional<SheetSummary>> SheetModel::create(bool openCreated) {
    auto self = shared_from_this();
    if (hasUnconfirmedChanges() || m_busy) {
        setError(QStringLiteral("Save or discard the current edit first."));
        co_return std::nullopt;
    }
    setBusy(true);
    std::optional<SheetSummary> created;
    try {
        created = co_await form<SheetSummary>(QStringLiteral("/sheets"), {});
    } catch (const CancellationError &) {
        setBusy(false);
        co_return std::nullopt;
    } catch (...) {
        setError(NativeClientError::messageOf(std::current_exception()));
        setBusy(false);
        co_return std::nullopt;
    }
    co_await loadList();
    setBusy(false);
    if (openCreated)
        co_await open(*created);
    co_return created;
}

QCoro::Task<> SheetModel::refresh(CancellationToken token) {
    auto self = shared_from_this();
    if (!m_page)
        co_return;
    const QString source = grid();
    // Tiles are requested and decoded ahead of the one being merged, so the network and the
    // decoding overlap; they are still requested, and merged, row by row.
    CancellationSource prefetch;
    const auto forwardCancel = token.onCancel([prefetch]() mutable { prefetch.cancel(); });
    struct Tile {
        qint64 firstRow = 0;
        qint64 firstCol = 0;
    };
    const auto tileAfter = [this](Tile tile) -> std::optional<Tile> {
        tile.firstCol += tileCols;
        if (tile.firstCol >= visibleCols()) {
            tile.firstCol = 0;
            tile.firstRow += tileRows;
        }
        if (tile.firstRow >= visibleRows() || visibleCols() <= 0)
            return std::nullopt;
        return tile;
    };
    const auto request = [this, &source, &prefetch](Tile tile) {
        const qint64 rows = std::min(visibleRows() - tile.firstRow, tileRows);
        const qint64 cols = std::min(visibleCols() - tile.firstCol, tileCols);
        const QString path = source + QStringLiteral("/cells?firstRow=%1&firstCol=%2&rows=%3&cols=%4")
                                          .arg(tile.firstRow)
                                          .arg(tile.firstCol)
                                          .arg(rows)
                                          .arg(cols);
        return fetchTile(m_client, m_wire, path, prefetch.token());
    };
    auto snapshot = std::make_shared<GridSnapshot>();
    // Up to `tilesAhead` tiles wait in order; the oldest is merged while the others travel or decode.
    constexpr std::size_t tilesAhead = 4;
    std::optional<Tile> next =
        visibleRows() > 0 && visibleCols() > 0 ? std::optional<Tile>(Tile{}) : std::nullopt;
    std::deque<QCoro::Task<GridResponse>> inFlight;
    const auto fill = [&] {
        while (next && inFlight.size() < tilesAhead) {
            token.throwIfCancelled();
            inFlight.push_back(request(*next));
            next = tileAfter(*next);
        }
    };
    try {
        fill();
        while (!inFlight.empty()) {
            GridResponse tile = co_await std::move(inFlight.front());
            inFlight.pop_front();
            fill();
            co_await m_wire.merge(std::move(tile), snapshot);
            if (token.isCancelled() || grid() != source) {
                prefetch.cancel();
                co_return;
            }
        }
    } catch (const CancellationError &) {
        prefetch.cancel();
        co_return;
    } catch (...) {
        prefetch.cancel();
        // A failure that belongs to a tab no longer open says nothing about the open one.
        if (!token.isCancelled() && grid() == source)
            setError(NativeClientError::messageOf(std::current_exception()));
        co_return;
    }
    if (!snapshot->anyTile) {
        // An empty window has no version of its own: keep the current one so that later
        // responses are still accepted.
        replaceGrid({}, {}, {});
        refreshDraftIfClean();
        co_return;
    }
    if (m_version > snapshot->version)
        co_return; // a newer state was merged meanwhile
    assign(m_version, snapshot->version, &SheetModel::versionChanged);
    replaceGrid(std::move(snapshot->cells), std::move(snapshot->styles), std::move(snapshot->sizes));
    refreshDraftIfClean();
}

QCoro::Task<> SheetModel::accept(GridResponse response, CancellationToken token) {
    auto self = shared_from_this();
    if (response.version < m_version)
        co_return;
    if (response.resync.value_or(false)) {
        co_await refresh(token);
        co_return;
    }
    const quint64 step = response.stamps && *response.stamps >= 2 ? quint64(*response.stamps) : 1;
    const quint64 reach = m_version > std::numeric_limits<quint64>::max() - step
                              ? std::numeric_limits<quint64>::max()
                              : m_version + step;
    if (response.version > reach) {
        co_await refresh(token); // versions were skipped
        co_return;
    }
    if (response.cells && !response.cells->isEmpty()) {
        for (Cell &cell : *response.cells)
            m_cells.insert(std::move(cell));
        Q_EMIT cellsChanged();
    }
    if (response.formats && !response.formats->isEmpty()) {
        for (auto it = response.formats->cbegin(); it != response.formats->cend(); ++it)
            m_styles.insert(it.key(), it.value());
        Q_EMIT stylesChanged();
    }
    assign(m_version, response.version, &SheetModel::versionChanged);
    if (response.sizes)
        assign(m_sizes, std::move(*response.sizes), &SheetModel::sizesChanged);
    refreshDraftIfClean();
}

QByteArray SheetModel::formBody(const FormFields &fields) {
    QByteArray body;
    for (auto it = fields.cbegin(); it != fields.cend(); ++it) {
        if (!body.isEmpty())
            body += '&';
        body += QUrl::toPercentEncoding(it.key()) + '=' + QUrl::toPercentEncoding(it.value());
    }
    return body;
}

QCoro::Task<QByteArray> SheetModel::postForm(QString path, FormFields fields) {
    auto self = shared_from_this();
    const std::pair<QByteArray, int> answer =
        co_await m_client->response(std::move(path), QStringLiteral("POST"), formBody(fields),
                                    QStringLiteral("application/x-www-form-urlencoded"), gridMaxBytes, {});
    if (answer.second >= 200 && answer.second <= 299)
        co_return answer.first;
    try {
        const Notice notice = decodeJson<Notice>(answer.first);
        throw NativeClientError::message(notice.message);
    } catch (const JsonDecodeError &) {
        throw NativeClientError::message(
            QStringLiteral("The request was not confirmed. Check your access and try again."));
    }
}

QCoro::Task<bool> SheetModel::command(QString path, FormFields fields) {
    auto self = shared_from_this();
    if (m_busy || hasUnconfirmedChanges()) {
        setError(QStringLiteral("Save or discard the current edit first."));
        co_return false;
    }
    assign(m_lastNotice, QString(), &SheetModel::lastNoticeChanged);
    setBusy(true);
    std::optional<Notice> notice;
    try {
        notice = co_await form<Notice>(base() + path, std::move(fields));
    } catch (const CancellationError &) {
        setBusy(false);
        co_return false;
    } catch (...) {
        setError(NativeClientError::messageOf(std::current_exception()));
        setBusy(false);
        co_return false;
    }
    assign(m_lastNotice, notice->notice, &SheetModel::lastNoticeChanged);
    setNotice(notice->message);
    co_await refresh();
    setBusy(false);
    co_return true;
}
