#include "app/TabrelAccountWindow.h"

#include "app/TabrelWindows.h"
#include "app/TabrelWorkspace.h"
#include "async/DetachedTask.h"
#include "connection/NativeConnection.h"
#include "connection/views/NativeAccountsView.h"

#include <QStackedWidget>
#include <QTimer>
#include <QVBoxLayout>

#include <chrono>
#include <utility>

namespace {
// Longer than the keyring and the sheet list usually take at start-up, shorter than a wait a
// person notices.
constexpr std::chrono::milliseconds restoreGrace(250);
} // namespace

TabrelAccountWindow::TabrelAccountWindow(std::shared_ptr<NativeConnection> connection, TabrelWindows *windows,
                                         std::function<void(const QUuid &)> openDocument, QString appearance,
                                         const SheetModelEnvironment &environment, QWidget *parent)
    : QWidget(parent), m_connection(std::move(connection)), m_windows(windows),
      m_openDocument(std::move(openDocument)), m_appearance(std::move(appearance)),
      m_environment(std::make_unique<SheetModelEnvironment>(environment)) {
    setMinimumSize(760, 600);
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    m_stack = new QStackedWidget(this);
    layout->addWidget(m_stack);
    // While the stored account's session is read at start-up the content stays empty, and then
    // until Home's list arrives: both usually take a few milliseconds, and the accounts view and
    // the loading page would only flash, each costing a layout and a paint before Home. The empty
    // page gives way when the read ends without a session, when the list arrives, or once either
    // is slow (restored()); the application keeps the window hidden until then.
    if (m_connection->waitingForKeyring()) {
        QWidget *page = new QWidget(m_stack);
        m_restoring = page;
        m_stack->addWidget(page);
        connect(m_connection.get(), &NativeConnection::waitingForKeyringChanged, page, [this, page] {
            // The account and its client are set in the same turn as the wait ends; a second
            // read (a session moved from the old layout) may begin in it too.
            QTimer::singleShot(0, page, [this] {
                if (!m_connection->waitingForKeyring() && !m_workspace)
                    endRestore();
            });
        });
        QTimer::singleShot(restoreGrace, page, [this] { endRestore(); });
    }

    connect(m_connection.get(), &NativeConnection::clientChanged, this, &TabrelAccountWindow::rebuild);
    connect(m_connection.get(), &NativeConnection::activeAccountIDChanged, this, [this] {
        m_windows->setActiveAccount(m_connection->activeAccountID());
        rebuild();
    });
    connect(m_windows, &TabrelWindows::entriesChanged, this, &TabrelAccountWindow::updateCanSignOut);
    connect(m_windows, &TabrelWindows::accountsRequestedChanged, this, [this] {
        if (!m_windows->accountsRequested())
            return;
        m_windows->setAccountsRequested(false);
        if (m_connection->client())
            m_connection->showAccounts();
    });
    connect(m_windows, &TabrelWindows::createRequestedChanged, this, [this] {
        if (m_windows->createRequested() && m_workspace) {
            m_windows->setCreateRequested(false);
            m_workspace->createSheet();
        }
    });
    m_windows->setActiveAccount(m_connection->activeAccountID());
    rebuild();
}

TabrelAccountWindow::~TabrelAccountWindow() = default;

NativeAccountsView *TabrelAccountWindow::accounts() {
    if (!m_accounts) {
        m_accounts =
            new NativeAccountsView(QStringLiteral("Brevane Tabrel"), QStringLiteral("x-office-spreadsheet"),
                                   m_connection, {}, m_stack);
        m_stack->addWidget(m_accounts);
    }
    return m_accounts;
}

void TabrelAccountWindow::endRestore() {
    if (!m_restoring)
        return;
    QWidget *page = std::exchange(m_restoring, nullptr);
    m_stack->removeWidget(page);
    page->deleteLater();
    showPage();
    Q_EMIT restored();
}

void TabrelAccountWindow::showPage() {
    if (m_restoring)
        m_stack->setCurrentWidget(m_restoring);
    else if (m_workspace)
        m_stack->setCurrentWidget(m_workspace);
    else
        m_stack->setCurrentWidget(accounts());
}

bool TabrelAccountWindow::current(const QString &account) const {
    return m_connection->activeAccountID() == account;
}

// A fresh workspace and model for each active account; none while no client exists.
void TabrelAccountWindow::rebuild() {
    const auto client = m_connection->client();
    const auto account = m_connection->activeAccountID();
    if (m_workspace && client && account && m_workspace->client() == client &&
        m_workspace->property("account").toString() == *account)
        return;
    if (m_workspace) {
        m_stack->removeWidget(m_workspace);
        m_workspace->deleteLater();
        m_workspace = nullptr;
    }
    if (!client || !account) {
        showPage();
        Q_EMIT workspaceChanged();
        return;
    }
    const QString id = *account;
    TabrelWorkspace::Callbacks callbacks;
    callbacks.openDocument = [this, id, client](quint64 document, const QString &title) {
        if (!current(id))
            return;
        m_openDocument(m_windows->reserve(id, document, title, client));
    };
    callbacks.updateRecents = [this, id, client](const QList<TabrelWorkspace::Recent> &list) {
        if (!current(id))
            return;
        QList<TabrelWindows::Recent> recents;
        for (const auto &recent : list)
            recents.append({recent.id, recent.title});
        m_windows->updateRecents(recents, id, client);
    };
    callbacks.signOut = [this, id] { signOut(id); };
    callbacks.accounts = [this, id] {
        if (current(id))
            m_connection->showAccounts();
    };
    m_workspace = new TabrelWorkspace(client, std::nullopt, std::move(callbacks), m_appearance,
                                      *m_environment, m_stack);
    m_workspace->setProperty("account", id);
    m_stack->addWidget(m_workspace);
    if (m_restoring) {
        connect(m_workspace->model().get(), &SheetModel::listStateChanged, m_restoring, [this] {
            if (m_workspace && m_workspace->model()->listState() != SheetModel::ListState::loading)
                endRestore();
        });
    }
    showPage();
    updateCanSignOut();
    // A "New spreadsheet" chosen before the workspace existed.
    if (m_windows->createRequested()) {
        m_windows->setCreateRequested(false);
        m_workspace->createSheet();
    }
    Q_EMIT workspaceChanged();
}

void TabrelAccountWindow::sessionEnded() {
    const auto account = m_connection->activeAccountID();
    if (!account || m_windows->hasOpenDocument(*account))
        return;
    signOut(*account);
    m_connection->setError(NativeClientError::unauthorized().errorDescription());
}

void TabrelAccountWindow::updateCanSignOut() {
    if (m_workspace && m_connection->activeAccountID())
        m_workspace->setCanSignOut(!m_windows->hasOpenDocument(*m_connection->activeAccountID()));
}

// Refused while a document window of the account is open: its edits would lose their client.
void TabrelAccountWindow::signOut(const QString &account) {
    if (!current(account) || m_windows->hasOpenDocument(account))
        return;
    m_windows->removeAccount(account);
    startDetached(m_connection, [connection = m_connection] { return connection->signOut(); });
}
