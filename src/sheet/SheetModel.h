#pragma once

#include "async/CancellationError.h"
#include "async/CancellationToken.h"
#include "connection/NativeClock.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeTransport.h"
#include "sheet/CellMap.h"
#include "sheet/Coordinate.h"
#include "sheet/SheetComments.h"
#include "sheet/SheetEventParser.h"
#include "sheet/SheetFiles.h"
#include "sheet/SheetHistory.h"
#include "sheet/SheetSharing.h"
#include "sheet/SheetTable.h"
#include "sheet/SheetClipboard.h"
#include "sheet/SheetTextMeasure.h"
#include "sheet/SheetWire.h"
#include "sheet/SheetWireWorker.h"

#include <QCoroTask>
#include <QHash>
#include <QMap>
#include <QObject>
#include <QUuid>

#include <functional>
#include <memory>
#include <optional>
#include <variant>

// What a model uses from its surroundings; each empty member gets the application's own.
struct SheetModelEnvironment {
    std::shared_ptr<SheetClipboard> clipboard = {};        // the desktop's clipboard
    SheetTextMeasure measure = {};                         // the application font
    std::shared_ptr<NativeConnectivity> connectivity = {}; // NativeConnectivity::shared(), when first watched
    std::shared_ptr<NativeClock> reconnectClock = {};      // the system clock
};

using FormFields = QMap<QString, QString>;
// Format changes by key ("bold", "italic", "align", "numfmt", "fill", "ink").
using FormatChanges = QMap<QString, std::variant<bool, QString>>;

// The observable state of one workspace: the account's sheet list and the one open sheet with its
// cells, styles, sizes, selection, cell draft, pending writes and status texts. Everything lives on
// the GUI thread; operations are coroutines that re-check their guards after every suspension.
// Owned by std::shared_ptr: every running operation keeps the model alive until it ends.
//
// Failures never reach views as exceptions: they land in `error`; successes in `notice`.
class SheetModel : public QObject, public std::enable_shared_from_this<SheetModel> {
    Q_OBJECT
    Q_PROPERTY(ListState listState READ listState NOTIFY listStateChanged)
    Q_PROPERTY(QList<SheetSummary> sheets READ sheets NOTIFY sheetsChanged)
    Q_PROPERTY(std::optional<SheetPage> page READ page NOTIFY pageChanged)
    Q_PROPERTY(CellMap cells READ cells NOTIFY cellsChanged)
    Q_PROPERTY(StyleMap styles READ styles NOTIFY stylesChanged)
    Q_PROPERTY(Sizes sizes READ sizes NOTIFY sizesChanged)
    Q_PROPERTY(quint64 version READ version NOTIFY versionChanged)
    Q_PROPERTY(CellRange selection READ selection NOTIFY selectionChanged)
    Q_PROPERTY(Coordinate selectionAnchor READ selectionAnchor NOTIFY selectionAnchorChanged)
    Q_PROPERTY(Coordinate selectionExtent READ selectionExtent NOTIFY selectionExtentChanged)
    Q_PROPERTY(QString rangeText READ rangeText WRITE setRangeText NOTIFY rangeTextChanged)
    Q_PROPERTY(bool gridFocused READ gridFocused WRITE setGridFocused NOTIFY gridFocusedChanged)
    Q_PROPERTY(QString draft READ draft WRITE setDraft NOTIFY draftChanged)
    Q_PROPERTY(QString originalDraft READ originalDraft NOTIFY originalDraftChanged)
    Q_PROPERTY(QList<CellWrite> failedWrites READ failedWrites NOTIFY failedWritesChanged)
    Q_PROPERTY(bool busy READ busy NOTIFY busyChanged)
    Q_PROPERTY(QString error READ error WRITE setError NOTIFY errorChanged)
    Q_PROPERTY(QString notice READ notice WRITE setNotice NOTIFY noticeChanged)
    Q_PROPERTY(QString live READ live NOTIFY liveChanged)
    Q_PROPERTY(QString lastNotice READ lastNotice NOTIFY lastNoticeChanged)
    Q_PROPERTY(bool showTable READ showTable WRITE setShowTable NOTIFY showTableChanged)
    Q_PROPERTY(std::optional<CellRange> copied READ copied NOTIFY copiedChanged)
    Q_PROPERTY(QString copiedText READ copiedText NOTIFY copiedTextChanged)
    Q_PROPERTY(bool mayWrite READ mayWrite NOTIFY pageChanged)
    Q_PROPERTY(bool hasUnconfirmedChanges READ hasUnconfirmedChanges NOTIFY hasUnconfirmedChangesChanged)

public:
    enum class ListState { loading, loaded, failed };
    Q_ENUM(ListState)

    // Grid window and tile sizes of a reload.
    static constexpr qint64 tileRows = 25;
    static constexpr qint64 tileCols = 50;
    static constexpr qint64 defaultVisibleRows = 100;
    static constexpr qint64 defaultVisibleCols = 26;
    static constexpr qint64 pageMaxBytes = 4'194'304;
    static constexpr qint64 gridMaxBytes = 67'108'864;

    // The default clipboard and font need a QGuiApplication; tests without one pass their own.
    static std::shared_ptr<SheetModel> make(std::shared_ptr<NativeTransport> client,
                                            SheetModelEnvironment environment = {});
    ~SheetModel() override;

    // Stored state.
    ListState listState() const { return m_listState; }
    QUuid listRequest() const { return m_listRequest; }
    const QList<SheetSummary> &sheets() const { return m_sheets; }
    const std::optional<SheetPage> &page() const { return m_page; }
    const CellMap &cells() const { return m_cells; }
    const StyleMap &styles() const { return m_styles; }
    const Sizes &sizes() const { return m_sizes; }
    quint64 version() const { return m_version; }
    const CellRange &selection() const { return m_selection; }
    const Coordinate &selectionAnchor() const { return m_selectionAnchor; }
    const Coordinate &selectionExtent() const { return m_selectionExtent; }
    const QString &rangeText() const { return m_rangeText; }
    bool gridFocused() const { return m_gridFocused; }
    const QString &draft() const { return m_draft; }
    const QString &originalDraft() const { return m_originalDraft; }
    const QList<CellWrite> &failedWrites() const { return m_failedWrites; }
    bool busy() const { return m_busy; }
    const QString &error() const { return m_error; }
    const QString &notice() const { return m_notice; }
    const QString &live() const { return m_live; }
    const QString &lastNotice() const { return m_lastNotice; }
    bool showTable() const { return m_showTable; }
    const std::optional<CellRange> &copied() const { return m_copied; }
    const QString &copiedText() const { return m_copiedText; }
    // Installed by the cell editor to tell whether it holds keyboard focus.
    std::function<bool()> cellEditorHasFocus = [] { return false; };

    // Derived state.
    bool mayWrite() const { return m_page && m_page->MayWrite; }
    bool hasUnconfirmedChanges() const { return m_draft != m_originalDraft || !m_failedWrites.isEmpty(); }
    // "/sheets/{ID}" of the open sheet (ID 0 when none is open).
    QString base() const;
    // "/api/sheets/{ID}/tabs/{TabID}" of the open tab.
    QString grid() const;
    // The visible sheet: the open page's size, or 100 x 26 while none is open.
    qint64 visibleRows() const { return m_page ? m_page->Rows : defaultVisibleRows; }
    qint64 visibleCols() const { return m_page ? m_page->Cols : defaultVisibleCols; }
    // The nearest cell of the grid shown; A1 when the grid is empty.
    Coordinate clampedToGrid(Coordinate cell) const {
        return {std::max(qint64(0), std::min(cell.r, visibleRows() - 1)),
                std::max(qint64(0), std::min(cell.c, visibleCols() - 1))};
    }

    // Writable state.
    void setDraft(const QString &draft);
    void setRangeText(const QString &text);
    void setGridFocused(bool focused);
    void setError(const QString &error);
    void setNotice(const QString &notice);
    void setShowTable(bool show);

    // Loads the account's sheet list into `sheets` and `listState`.
    QCoro::Task<> loadList(CancellationToken token = {});
    // Loads a sheet's page, then its grid, then selects A1.
    QCoro::Task<> open(SheetSummary summary, CancellationToken token = {});
    // Creates a sheet, reloads the list and, when asked, opens the new sheet.
    QCoro::Task<std::optional<SheetSummary>> create(bool openCreated);
    // Reloads the whole grid window in tiles and replaces the grid state at once.
    QCoro::Task<> refresh(CancellationToken token = {});
    // Merges a grid response (a write's answer, a live event, a format or size answer) by version,
    // or reloads when it skips versions or asks for a resync.
    QCoro::Task<> accept(GridResponse response, CancellationToken token = {});
    // A form POST to `path`; decodes a 2xx body as T. A refusal fails with its notice's message.
    template<typename T>
    QCoro::Task<T> form(QString path, FormFields fields);
    // A guarded form POST to `base() + path`, followed by a reload. True when confirmed.
    QCoro::Task<bool> command(QString path, FormFields fields);

    // The body of a form POST: fields sorted by name, every character outside the unreserved set
    // percent-encoded, so that names and values round-trip through any form decoder.
    static QByteArray formBody(const FormFields &fields);

    // Selection. Refused while an edit is unsaved or a request is in flight.
    void select(const Coordinate &point);
    // Extends the selection from the anchor to `point`, clamped to the visible sheet.
    void extendSelection(const Coordinate &point);
    // Selects the range typed into `rangeText`.
    void selectRange();

    // Clipboard and bulk edits, all through `write`.
    void copy();
    // Forgets the block this model copied (the clipboard keeps its text), so a paste is plain text.
    void forgetCopy() {
        assign(m_copied, std::optional<CellRange>(), &SheetModel::copiedChanged);
        assign(m_copiedText, QString(), &SheetModel::copiedTextChanged);
    }
    QCoro::Task<> clear();
    QCoro::Task<> paste();
    QCoro::Task<> fill(bool down);
    // The writes `fill(down)` would send; reads the model only.
    QList<CellWrite> fillWrites(bool down) const;
    // Writes "=NAME(range above)" into the active cell.
    QCoro::Task<> insertFunction(QString name);
    static constexpr qsizetype maxPasteCells = 500;

    // Formatting and sizes: one request each, merged through `accept`.
    QCoro::Task<> format(FormatChanges changes);
    QCoro::Task<> resize(QString axis, qint64 size, std::optional<qint64> index);
    QCoro::Task<> fitColumn(qint64 col);
    // True when every selected cell's style has the flag set (bold or italic); an empty cell has none.
    bool everySelectedCell(std::optional<bool> CellStyle::*flag) const;
    const CellStyle *styleOf(const Coordinate &cell) const;
    static constexpr double minimumFitWidth = 40.0;
    static constexpr double fitMargin = 14.0;
    static constexpr qint64 maximumFitWidth = 1000;

    // Live updates: keeps the open tab's event stream until `token` is cancelled, another tab is
    // opened, or the server ends it for idleness or changed access. Reconnects with backoff and
    // reloads the grid each time the stream opens.
    QCoro::Task<> watch(CancellationToken token = {});

    // Cell writes.
    static constexpr qsizetype maxInputBytes = 8192;

    // Sends writes in batches and merges each confirmed batch. True when every write was confirmed
    // (or there was none). Refused while failed writes are pending unless `retrying`.
    QCoro::Task<bool> write(QList<CellWrite> writes, bool retrying);
    // Sends the pending failed writes again.
    QCoro::Task<> retryWrites();
    // Saves the active cell's draft, then moves one cell down or right (up or left when backwards).
    QCoro::Task<> commit(bool moveRight, bool backwards);
    // Retries failed writes, then commits an unsaved draft.
    QCoro::Task<> saveAll();
    // Drops the unsaved draft (not the failed writes: the views clear those first).
    void discard();
    // Forgets every unconfirmed write; the views' discard actions call it before `discard()`.
    void clearFailedWrites() { setFailedWrites({}); }

    // The feature panels: each keeps its own state and operations and reaches the shared guards,
    // `form`, `command` and `loadCurrent` through this model.
    SheetTable &sheetTable() { return m_sheetTable; }
    SheetHistory &sheetHistory() { return m_sheetHistory; }
    SheetComments &sheetComments() { return m_sheetComments; }
    SheetSharing &sheetSharing() { return m_sheetSharing; }
    SheetFiles &sheetFiles() { return m_sheetFiles; }

    // The open sheet's ID, none while no page is loaded. A feature remembers it when a load starts.
    std::optional<quint64> openSheetID() const {
        return m_page ? std::optional<quint64>(m_page->Sheet.ID) : std::nullopt;
    }
    // A GET of `base() + path` decoded as T (JSON, at most 4 MiB). Empty when the answer came after
    // another sheet was opened (dropped without a message), when cancelled, or when it failed (its
    // message is then in `error`, unless another sheet was opened meanwhile).
    template<typename T>
    QCoro::Task<std::optional<T>> loadCurrent(QString path, CancellationToken token = {});
    const std::shared_ptr<NativeTransport> &client() const { return m_client; }
    // The clock of every wait: reconnect pauses and import polls.
    const std::shared_ptr<NativeClock> &clock() const { return m_reconnectClock; }

Q_SIGNALS:
    void listStateChanged();
    void sheetsChanged();
    void pageChanged();
    void cellsChanged();
    void stylesChanged();
    void sizesChanged();
    void versionChanged();
    void selectionChanged();
    void selectionAnchorChanged();
    void selectionExtentChanged();
    void rangeTextChanged();
    void gridFocusedChanged();
    void draftChanged();
    void originalDraftChanged();
    void failedWritesChanged();
    void busyChanged();
    void errorChanged();
    void noticeChanged();
    void liveChanged();
    void lastNoticeChanged();
    void showTableChanged();
    void copiedChanged();
    void copiedTextChanged();
    void hasUnconfirmedChangesChanged();

private:
    SheetModel(std::shared_ptr<NativeTransport> client, SheetModelEnvironment environment);

    // Moves the selection to one cell without the guards (opening a sheet, committing).
    void selectCell(const Coordinate &point);
    void setSelectionState(const Coordinate &anchor, const Coordinate &extent, const CellRange &range);
    // Whether clipboard and fill operations may start; sets the message when not.
    bool mayStartBulkEdit();

    // Sets a stored property and emits its signal only when the value changes.
    template<typename T>
    void assign(T &member, T value, void (SheetModel::*changed)());
    // Draft and failed writes feed hasUnconfirmedChanges; these keep its signal in step.
    void setDraftPair(const QString &original, const QString &draft);
    void setFailedWrites(QList<CellWrite> writes);
    void setBusy(bool busy);
    void replaceGrid(CellMap cells, StyleMap styles, Sizes sizes);

    // When no edit is pending, the draft follows the confirmed text of the active cell.
    void refreshDraftIfClean();
    QString rawAt(const Coordinate &cell) const;

    void setLive(const QString &live) { assign(m_live, live, &SheetModel::liveChanged); }
    QCoro::Task<> streamOpened(QString source, CancellationToken token);
    QCoro::Task<> received(SheetEvent event, QString source, CancellationToken token);

    // The POST behind `form`: returns the 2xx body, or fails with the refusal's message.
    QCoro::Task<QByteArray> postForm(QString path, FormFields fields);

    std::shared_ptr<NativeTransport> m_client;
    std::shared_ptr<SheetClipboard> m_clipboard;
    SheetTextMeasure m_measure;
    std::shared_ptr<NativeConnectivity> m_connectivity;
    std::shared_ptr<NativeClock> m_reconnectClock;
    SheetWireWorker m_wire;

    ListState m_listState = ListState::loading;
    QUuid m_listRequest = QUuid::createUuid();
    QList<SheetSummary> m_sheets;
    std::optional<SheetPage> m_page;
    CellMap m_cells;
    StyleMap m_styles;
    Sizes m_sizes;
    quint64 m_version = 0;
    CellRange m_selection;
    Coordinate m_selectionAnchor;
    Coordinate m_selectionExtent;
    QString m_rangeText = QStringLiteral("A1");
    bool m_gridFocused = false;
    QString m_draft;
    QString m_originalDraft;
    QList<CellWrite> m_failedWrites;
    bool m_busy = false;
    QString m_error;
    QString m_notice;
    QString m_live = QStringLiteral("Connecting");
    QString m_lastNotice;
    bool m_showTable = false;
    std::optional<CellRange> m_copied;
    QString m_copiedText;

    // Constructed last: they hold a reference to this model.
    SheetTable m_sheetTable{*this};
    SheetHistory m_sheetHistory{*this};
    SheetComments m_sheetComments{*this};
    SheetSharing m_sheetSharing{*this};
    SheetFiles m_sheetFiles{*this};
};

template<typename T>
QCoro::Task<std::optional<T>> SheetModel::loadCurrent(QString path, CancellationToken token) {
    auto self = shared_from_this();
    const std::optional<quint64> sheet = openSheetID();
    try {
        T answer = co_await m_client->request<T>(base() + path, QStringLiteral("GET"), std::nullopt,
                                                 QStringLiteral("application/json"), pageMaxBytes, token);
        if (openSheetID() != sheet)
            co_return std::nullopt;
        co_return answer;
    } catch (const CancellationError &) {
        co_return std::nullopt;
    } catch (...) {
        if (openSheetID() == sheet)
            setError(NativeClientError::messageOf(std::current_exception()));
        co_return std::nullopt;
    }
}

template<typename T>
QCoro::Task<T> SheetModel::form(QString path, FormFields fields) {
    auto self = shared_from_this();
    const QByteArray body = co_await postForm(std::move(path), std::move(fields));
    co_return NativeTransport::decodeBody<T>(body);
}

template<typename T>
void SheetModel::assign(T &member, T value, void (SheetModel::*changed)()) {
    if (member == value)
        return;
    member = std::move(value);
    Q_EMIT(this->*changed)();
}
