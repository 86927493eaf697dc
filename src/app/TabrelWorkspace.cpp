#include "app/TabrelWorkspace.h"

#include "app/SheetCloseGuard.h"
#include "app/TabrelAppearance.h"
#include "app/TabrelStrings.h"
#include "async/DetachedTask.h"
#include "connection/views/NativeIcon.h"
#include "connection/views/NativeOfflineBanner.h"
#include "editor/SheetEditor.h"
#include "editor/SheetFormulaBar.h"
#include "editor/SheetGrid.h"
#include "sheet/views/SheetPanels.h"
#include "sheet/views/SheetTableView.h"
#include "sheet/views/SheetThumbnail.h"

#include <QAccessible>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QPushButton>
#include <QSplitter>
#include <QStackedWidget>
#include <QVBoxLayout>

#include <utility>

namespace {

constexpr QSize thumbnailSize(72, 48);

// The card's picture: the sheet's thumbnail drawn once into an icon. An icon carries no text of its
// own, so screen readers hear only the card's title and tab name.
QIcon thumbnailIcon(const std::optional<SheetPreview> &preview, const QWidget *host) {
    const qreal ratio = host->devicePixelRatioF();
    QPixmap pixmap(thumbnailSize * ratio);
    pixmap.setDevicePixelRatio(ratio);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    painter.setRenderHint(QPainter::Antialiasing);
    SheetThumbnail::paint(painter, QSizeF(thumbnailSize), preview,
                          SheetThumbnail::Colors::from(host->palette()));
    return QIcon(pixmap);
}
// Case-folded text without combining marks, so "é" compares equal to "e" and "É".
QString folded(const QString &text) {
    const QString decomposed = text.normalized(QString::NormalizationForm_KD);
    QString out;
    out.reserve(decomposed.size());
    for (const QChar c : decomposed) {
        if (!c.isMark())
            out.append(c);
    }
    return out.toCaseFolded();
}

QLabel *redLabel(QWidget *parent) {
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    label->setStyleSheet(QStringLiteral("color: #c62828;"));
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    label->hide();
    return label;
}

QLabel *captionLabel(QWidget *parent) {
    auto *label = new QLabel(parent);
    label->setWordWrap(true);
    QFont font = label->font();
    font.setPointSizeF(font.pointSizeF() * 0.85);
    label->setFont(font);
    label->setContentsMargins(4, 4, 4, 4);
    label->hide();
    return label;
}

constexpr int cardRole = Qt::UserRole + 1;
} // namespace

TabrelWorkspace::TabrelWorkspace(std::shared_ptr<NativeTransport> client, std::optional<quint64> documentID,
                                 Callbacks callbacks, QString appearance, SheetModelEnvironment environment,
                                 QWidget *parent)
    : QWidget(parent), m_client(std::move(client)), m_documentID(documentID),
      m_callbacks(std::move(callbacks)), m_appearance(std::move(appearance)),
      m_model(SheetModel::make(m_client, environment)) {
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    m_banner = new NativeOfflineBanner(
        environment.connectivity ? environment.connectivity : NativeConnectivity::shared(),
        m_client->origin(), tabrelMacString("You’re offline. Waiting for a connection."), this);
    layout->addWidget(m_banner);
    // Home asks for its list first: the request travels while the widgets are built. At start-up
    // the window shows only once the list is there.
    if (isHome())
        requestList();
    layout->addWidget(isHome() ? buildHome() : buildEditor(), 1);
    m_guard = new SheetCloseGuard(m_model, this);

    SheetModel *model = m_model.get();
    connect(model, &SheetModel::errorChanged, this, [this] {
        if (isHome())
            updateList();
        else
            updateEditor();
    });
    connect(model, &SheetModel::busyChanged, this, &TabrelWorkspace::accountActionsChanged);
    connect(model, &SheetModel::hasUnconfirmedChangesChanged, this, [this] {
        if (m_newButton)
            m_newButton->setEnabled(!m_model->hasUnconfirmedChanges() && !m_model->busy());
    });
    if (isHome()) {
        connect(model, &SheetModel::sheetsChanged, this, &TabrelWorkspace::updateList);
        connect(model, &SheetModel::sheetsChanged, this, &TabrelWorkspace::reportRecents);
        connect(model, &SheetModel::listStateChanged, this, &TabrelWorkspace::updateList);
        connect(model, &SheetModel::busyChanged, this, &TabrelWorkspace::updateList);
        updateList();
    } else {
        for (auto signal :
             {&SheetModel::pageChanged, &SheetModel::failedWritesChanged, &SheetModel::busyChanged})
            connect(model, signal, this, &TabrelWorkspace::updateEditor);
        connect(model, &SheetModel::pageChanged, this, &TabrelWorkspace::updateLiveTask);
        updateEditor();
    }
}

TabrelWorkspace::~TabrelWorkspace() {
    if (m_watch)
        m_watch->cancel();
}

QWidget *TabrelWorkspace::buildHome() {
    auto *splitter = new QSplitter(this);
    auto *sidebar = new QListWidget(splitter);
    auto *recent = new QListWidgetItem(nativeIcon(QStringLiteral("document-open-recent")),
                                       tabrelMacString("Recent"), sidebar);
    recent->setBackground(QColor(46, 125, 50, 31));
    sidebar->setCurrentItem(recent);
    sidebar->setMinimumWidth(160);
    sidebar->setMaximumWidth(240);
    sidebar->setAccessibleName(tabrelMacString("Sidebar"));

    auto *content = new QWidget(splitter);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(28, 12, 28, 28);
    column->setSpacing(16);

    auto *tools = new QHBoxLayout;
    m_search = new QLineEdit(content);
    m_search->setPlaceholderText(tabrelMacString("Search spreadsheets"));
    m_search->setAccessibleName(tabrelMacString("Search spreadsheets"));
    m_search->setClearButtonEnabled(true);
    tools->addWidget(m_search, 1);
    m_newButton =
        new QPushButton(nativeIcon(QStringLiteral("list-add")), tabrelMacString("New spreadsheet"), content);
    auto *import = new QPushButton(tabrelMacString("Import workbook"), content);
    auto *refresh =
        new QPushButton(nativeIcon(QStringLiteral("view-refresh")), tabrelMacString("Refresh"), content);
    tools->addWidget(m_newButton);
    tools->addWidget(import);
    tools->addWidget(refresh);
    column->addLayout(tools);

    auto *title = new QLabel(tabrelMacString("Recent spreadsheets"), content);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.8);
    font.setBold(true);
    title->setFont(font);
    column->addWidget(title);
    m_homeError = redLabel(content);
    column->addWidget(m_homeError);

    m_listPages = new QStackedWidget(content);
    auto *loading = new QWidget(m_listPages);
    auto *loadingLayout = new QVBoxLayout(loading);
    auto *progress = new QProgressBar(loading);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setMaximumWidth(200);
    progress->setAccessibleName(tabrelMacString("Loading"));
    loadingLayout->addStretch();
    loadingLayout->addWidget(progress, 0, Qt::AlignCenter);
    loadingLayout->addStretch();
    m_listPages->addWidget(loading);

    auto *empty = new QWidget(m_listPages);
    auto *emptyLayout = new QVBoxLayout(empty);
    // Its picture is drawn the first time the page shows (updateList): most starts never show it.
    m_emptyIcon = new QLabel(empty);
    m_emptyIcon->setMinimumSize(48, 48);
    m_emptyTitle = new QLabel(tabrelMacString("No spreadsheets"), empty);
    QFont emptyFont = m_emptyTitle->font();
    emptyFont.setBold(true);
    emptyFont.setPointSizeF(emptyFont.pointSizeF() * 1.3);
    m_emptyTitle->setFont(emptyFont);
    auto *emptyText = new QLabel(tabrelMacString("Create a spreadsheet or import a workbook."), empty);
    emptyLayout->addStretch();
    for (QLabel *label : {m_emptyIcon, m_emptyTitle, emptyText})
        emptyLayout->addWidget(label, 0, Qt::AlignHCenter);
    emptyLayout->addStretch();
    m_listPages->addWidget(empty);

    m_cards = new QListWidget(m_listPages);
    m_cards->setViewMode(QListView::IconMode);
    m_cards->setResizeMode(QListView::Adjust);
    m_cards->setMovement(QListView::Static);
    m_cards->setGridSize(QSize(230, 96));
    m_cards->setIconSize(thumbnailSize);
    m_cards->setSpacing(12);
    m_cards->setWordWrap(true);
    m_cards->setUniformItemSizes(true);
    m_cards->setAccessibleName(tabrelMacString("Recent spreadsheets"));
    m_listPages->addWidget(m_cards);
    column->addWidget(m_listPages, 1);

    splitter->addWidget(sidebar);
    splitter->addWidget(content);
    splitter->setStretchFactor(1, 1);
    splitter->setSizes({190, 800});

    connect(m_search, &QLineEdit::textChanged, this, &TabrelWorkspace::setQuery);
    // Return in the search field opens the first match: type a few letters, press Return.
    connect(m_search, &QLineEdit::returnPressed, this, [this] {
        if (m_cards->count() > 0)
            Q_EMIT m_cards->itemActivated(m_cards->item(0));
    });
    auto open = [this](QListWidgetItem *item) {
        if (item && m_callbacks.openDocument)
            m_callbacks.openDocument(item->data(cardRole).toULongLong(), item->data(Qt::UserRole).toString());
    };
    connect(m_cards, &QListWidget::itemActivated, this, open);
    connect(m_cards, &QListWidget::itemClicked, this, open);
    connect(m_newButton, &QPushButton::clicked, this, &TabrelWorkspace::createSheet);
    connect(import, &QPushButton::clicked, this, [this] { openPanel(QStringLiteral("Import")); });
    connect(refresh, &QPushButton::clicked, this,
            [this] { startDetached(m_model, [model = m_model] { return model->loadList(); }); });
    return splitter;
}

QWidget *TabrelWorkspace::buildEditor() {
    auto *editor = new QWidget(this);
    auto *column = new QVBoxLayout(editor);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    m_failedRow = new QWidget(editor);
    auto *failed = new QHBoxLayout(m_failedRow);
    failed->setContentsMargins(8, 8, 8, 8);
    m_retry = new QPushButton(tabrelMacString("Retry pending edits"), m_failedRow);
    m_discard = new QPushButton(tabrelMacString("Discard pending edits"), m_failedRow);
    failed->addWidget(m_retry);
    failed->addWidget(m_discard);
    failed->addStretch();
    m_failedRow->hide();
    m_error = redLabel(editor);
    m_error->setContentsMargins(8, 8, 8, 8);
    m_error->setAccessibleDescription(tabrelMacString("Updates frequently"));

    auto *sheetEditor = new SheetEditor(m_model, editor);
    m_editor = sheetEditor;
    // The failed-writes row and the error line sit between the formula bar and the grid.
    if (auto *editorLayout = qobject_cast<QBoxLayout *>(sheetEditor->layout());
        editorLayout && editorLayout->indexOf(sheetEditor->formulaBar()) == 0) {
        editorLayout->insertWidget(1, m_failedRow);
        editorLayout->insertWidget(2, m_error);
    } else {
        column->addWidget(m_failedRow);
        column->addWidget(m_error);
    }
    column->addWidget(m_editor, 1);
    // The sorted and filtered table takes the grid's place while the sheet shows it; the formula
    // bar and status bar stay.
    auto *table = new SheetTableView(m_model, editor);
    auto *editorBox = static_cast<QBoxLayout *>(sheetEditor->layout());
    editorBox->insertWidget(editorBox->indexOf(sheetEditor->grid()) + 1, table, 1);
    const auto showTableOrGrid = [grid = sheetEditor->grid(), table, model = m_model.get()] {
        grid->setVisible(!model->showTable());
        table->setVisible(model->showTable());
    };
    connect(m_model.get(), &SheetModel::showTableChanged, table, showTableOrGrid);
    showTableOrGrid();
    m_truncated = captionLabel(editor);
    m_truncated->setText(tabrelMacString(
        "This grid shows up to 500 rows and 200 columns. Export includes the complete sheet."));
    m_warned = captionLabel(editor);
    column->addWidget(m_truncated);
    column->addWidget(m_warned);

    connect(m_retry, &QPushButton::clicked, this,
            [this] { startDetached(m_model, [model = m_model] { return model->retryWrites(); }); });
    connect(m_discard, &QPushButton::clicked, this, [this] {
        m_model->clearFailedWrites();
        m_model->discard();
    });
    return editor;
}

void TabrelWorkspace::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    QWidget *top = window();
    if (m_watchedWindow != top) {
        if (m_watchedWindow)
            m_watchedWindow->removeEventFilter(this);
        m_watchedWindow = top;
        top->installEventFilter(this);
        applyTabrelAppearance(top, m_appearance);
        m_guard->attach(top);
    }
    setSceneActive(top->isActiveWindow());
    if (!m_started) {
        m_started = true;
        // Typing goes to the search field on Home and to the sheet in a document window.
        if (m_search)
            m_search->setFocus();
        else
            m_editor->setFocus();
        start();
    }
}

bool TabrelWorkspace::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_watchedWindow && event->type() == QEvent::ActivationChange)
        setSceneActive(m_watchedWindow->isActiveWindow());
    return QWidget::eventFilter(watched, event);
}

void TabrelWorkspace::start() {
    if (m_documentID) {
        const SheetSummary summary{*m_documentID, QString(), 0, QString(), std::nullopt};
        startDetached(m_model, [model = m_model, summary] { return model->open(summary); });
    } else if (!m_listRequested) {
        requestList();
    }
}

void TabrelWorkspace::requestList() {
    m_listRequested = true;
    startDetached(m_model, [model = m_model] { return model->loadList(); });
}

void TabrelWorkspace::setSceneActive(bool active) {
    if (m_sceneActive == active)
        return;
    m_sceneActive = active;
    if (!active)
        m_model->forgetCopy();
    updateLiveTask();
}

// Keyed by the open sheet and the window's activity: a change of either ends the running watch,
// and a new one starts only for an open sheet of the active window.
void TabrelWorkspace::updateLiveTask() {
    const quint64 sheet = m_model->page() ? m_model->page()->Sheet.ID : 0;
    const QString key =
        QString::number(sheet) + u'|' + (m_sceneActive ? QStringLiteral("true") : QStringLiteral("false"));
    if (key == m_liveKey)
        return;
    m_liveKey = key;
    if (const auto previous = std::exchange(m_watch, nullptr))
        previous->cancel();
    if (!m_sceneActive || sheet == 0)
        return;
    m_watch = std::make_shared<CancellationSource>();
    const CancellationToken token = m_watch->token();
    startDetached(m_model, [model = m_model, token] { return model->watch(token); });
}

void TabrelWorkspace::setQuery(const QString &query) {
    if (m_query == query)
        return;
    m_query = query;
    if (m_search && m_search->text() != query)
        m_search->setText(query);
    updateList();
    // A list that arrived while a search was typed is reported once the search is cleared.
    if (m_query.isEmpty())
        reportRecents();
}

bool TabrelWorkspace::matches(const QString &title, const QString &query) {
    return query.isEmpty() || folded(title).contains(folded(query));
}

TabrelWorkspace *TabrelWorkspace::followEditor(TabrelWorkspace *workspace, QObject *receiver,
                                               const std::function<void()> &refresh,
                                               QList<QMetaObject::Connection> &follow) {
    for (const auto &connection : std::as_const(follow))
        QObject::disconnect(connection);
    follow.clear();
    if (!workspace || workspace->isHome())
        return nullptr;
    SheetModel *model = workspace->model().get();
    for (auto signal :
         {&SheetModel::pageChanged, &SheetModel::busyChanged, &SheetModel::hasUnconfirmedChangesChanged})
        follow << QObject::connect(model, signal, receiver, refresh);
    return workspace;
}

QList<SheetSummary> TabrelWorkspace::filteredSheets() const {
    QList<SheetSummary> out;
    for (const SheetSummary &sheet : m_model->sheets()) {
        if (matches(sheet.Title, m_query))
            out.append(sheet);
    }
    return out;
}

void TabrelWorkspace::updateList() {
    if (!isHome())
        return;
    m_homeError->setText(m_model->error());
    m_homeError->setVisible(!m_model->error().isEmpty());
    m_newButton->setEnabled(!m_model->hasUnconfirmedChanges() && !m_model->busy());
    const QList<SheetSummary> sheets = filteredSheets();
    if (m_model->listState() == SheetModel::ListState::loading) {
        m_listPages->setCurrentIndex(0);
        return;
    }
    m_listPages->setCurrentIndex(sheets.isEmpty() ? 1 : 2);
    if (sheets.isEmpty() && m_emptyIcon->pixmap().isNull())
        m_emptyIcon->setPixmap(nativeIcon(QStringLiteral("x-office-spreadsheet")).pixmap(48, 48));
    m_cards->clear();
    for (const SheetSummary &sheet : sheets) {
        // Filled in before it joins the list: the view then hears of each card once, not once per
        // field.
        auto *item =
            new QListWidgetItem(thumbnailIcon(sheet.Preview, m_cards), sheet.Title + u'\n' + sheet.TabName);
        item->setData(cardRole, QVariant::fromValue(sheet.ID));
        item->setData(Qt::UserRole, sheet.Title);
        item->setData(Qt::AccessibleTextRole, sheet.Title);
        item->setData(Qt::AccessibleDescriptionRole, sheet.TabName);
        item->setSizeHint(QSize(220, 84));
        m_cards->addItem(item);
    }
}

void TabrelWorkspace::reportRecents() {
    if (!m_query.isEmpty() || !m_callbacks.updateRecents)
        return;
    QList<Recent> list;
    for (const SheetSummary &sheet : m_model->sheets())
        list.append(Recent{sheet.ID, sheet.Title});
    m_callbacks.updateRecents(list);
}

void TabrelWorkspace::setCanSignOut(bool canSignOut) {
    if (m_canSignOut == canSignOut)
        return;
    m_canSignOut = canSignOut;
    Q_EMIT accountActionsChanged();
}

TabrelAccountActions TabrelWorkspace::accountActions() const {
    return TabrelAccountActions{m_callbacks.accounts, m_callbacks.signOut, !m_model->busy(),
                                m_canSignOut && !m_model->busy()};
}

void TabrelWorkspace::createSheet() {
    if (m_model->hasUnconfirmedChanges() || m_model->busy())
        return;
    const QPointer<TabrelWorkspace> guard(this);
    startDetached(m_model, [model = m_model, guard]() -> QCoro::Task<> {
        const std::optional<SheetSummary> created = co_await model->create(false);
        if (created && guard && guard->m_callbacks.openDocument)
            guard->m_callbacks.openDocument(created->ID, created->Title);
    });
}

QString TabrelWorkspace::title() const {
    if (isHome())
        return tabrelMacString("Home");
    return m_model->page() ? m_model->page()->Sheet.Title : tabrelMacString("Tabrel");
}

void TabrelWorkspace::updateEditor() {
    const bool busy = m_model->busy();
    m_failedRow->setVisible(!m_model->failedWrites().isEmpty());
    m_retry->setEnabled(!busy);
    m_discard->setEnabled(!busy);
    const bool errorChanged = m_error->text() != m_model->error();
    m_error->setText(m_model->error());
    m_error->setVisible(!m_model->error().isEmpty());
    if (errorChanged && !m_model->error().isEmpty()) {
        QAccessibleEvent event(m_error, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
    const auto &page = m_model->page();
    m_truncated->setVisible(page && page->Truncated);
    const bool warned = page && page->Warned && !page->Warned->isEmpty();
    m_warned->setVisible(warned);
    if (warned)
        m_warned->setText(tabrelMacString("Imported colours have low contrast in: ") +
                          page->Warned->join(QStringLiteral(", ")));
    Q_EMIT titleChanged(title());
}

QString TabrelWorkspace::panel() const {
    return m_panels ? m_panels->panel() : QString();
}

void TabrelWorkspace::openPanel(const QString &name) {
    if (m_panels) {
        if (m_panels->panel() == name)
            return;
        m_panels->close();
    }
    auto *panels = new SheetPanels(
        m_model, name,
        [this, guard = QPointer<TabrelWorkspace>(this)](quint64 id, const QString &title) {
            if (guard && m_callbacks.openDocument)
                m_callbacks.openDocument(id, title);
        },
        this);
    panels->setAttribute(Qt::WA_DeleteOnClose);
    panels->setWindowModality(Qt::WindowModal);
    m_panels = panels;
    panels->open();
}
