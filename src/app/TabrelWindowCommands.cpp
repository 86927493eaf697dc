#include "app/TabrelWindowCommands.h"

#include "app/TabrelDocumentMenu.h"
#include "app/TabrelStrings.h"
#include "app/TabrelWindows.h"
#include "updates/NativeUpdateCommands.h"

#include <QMenu>
#include <QMenuBar>

TabrelWindowCommands::TabrelWindowCommands(QMenuBar *bar, Context context, QObject *parent)
    : QObject(parent), m_context(std::move(context)) {
    m_file = bar->addMenu(tabrelMacString("&File"));
    m_new = m_file->addAction(tabrelMacString("New spreadsheet"));
    m_new->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
    connect(m_new, &QAction::triggered, this, [this] {
        m_context.windows->setCreateRequested(true);
        m_context.openHome();
    });
    m_recent = m_file->addMenu(tabrelMacString("Recent"));
    m_file->addSeparator();
    m_document = new TabrelDocumentMenu(m_file, this);
    m_file->addSeparator();
    m_accounts = m_file->addAction(tabrelMacString("Accounts"));
    connect(m_accounts, &QAction::triggered, this, [this] {
        if (!m_context.windows->accountsRequested())
            m_context.windows->setAccountsRequested(true);
        m_context.openHome();
    });
    m_signOut = m_file->addAction(tabrelMacString("Sign out"));
    connect(m_signOut, &QAction::triggered, this, [this] {
        refresh();
        const auto actions = m_context.accountActions ? m_context.accountActions() : std::nullopt;
        if (actions && actions->canSignOut && actions->signOut)
            actions->signOut();
    });
    if (m_context.updater)
        (new NativeUpdateCommands(*m_context.updater, bar->window(), this))->addTo(m_file);
    m_file->addSeparator();
    m_close = m_file->addAction(tabrelMacString("Close window"));
    m_close->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_W));
    connect(m_close, &QAction::triggered, this, [bar] {
        if (QWidget *window = bar->window())
            window->close();
    });
    m_quit = m_file->addAction(tabrelMacString("Quit"));
    m_quit->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_Q));
    m_quit->setMenuRole(QAction::QuitRole);
    connect(m_quit, &QAction::triggered, this, [this] {
        if (m_context.quit)
            m_context.quit();
    });

    connect(m_file, &QMenu::aboutToShow, this, &TabrelWindowCommands::refresh);
    connect(m_recent, &QMenu::aboutToShow, this, &TabrelWindowCommands::rebuildRecent);
    connect(m_context.windows, &TabrelWindows::entriesChanged, this, &TabrelWindowCommands::refresh);
    connect(m_context.windows, &TabrelWindows::activeAccountChanged, this, &TabrelWindowCommands::refresh);
    refresh();
}

void TabrelWindowCommands::refresh() {
    const auto actions = m_context.accountActions ? m_context.accountActions() : std::nullopt;
    m_accounts->setEnabled(!actions || !actions->accounts || actions->canManage);
    m_signOut->setEnabled(actions && actions->canSignOut);
    rebuildRecent();
}

// The window's own account, or the Home window's when the window shows none.
void TabrelWindowCommands::rebuildRecent() {
    m_recent->clear();
    std::optional<QString> account = m_context.account ? m_context.account() : std::nullopt;
    if (!account)
        account = m_context.windows->activeAccount();
    int shown = 0;
    for (const TabrelWindows::Entry &entry : m_context.windows->entries()) {
        if (shown == maxRecent)
            break;
        if (!account || entry.account != *account)
            continue;
        QAction *item = m_recent->addAction(entry.title);
        const QUuid id = entry.id;
        connect(item, &QAction::triggered, this, [this, id] {
            m_context.windows->setOpen(id, true);
            m_context.openDocument(id);
        });
        ++shown;
    }
    if (shown == 0)
        m_recent->addAction(tabrelMacString("No recent documents"))->setEnabled(false);
}
