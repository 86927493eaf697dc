#include "app/TabrelHomeWindow.h"

#include "app/TabrelAccountWindow.h"
#include "app/TabrelEditorCommands.h"
#include "app/TabrelStrings.h"
#include "app/TabrelWindowCommands.h"
#include "app/TabrelWorkspace.h"
#include "connection/NativeConnection.h"

#include <QMenuBar>

TabrelHomeWindow::TabrelHomeWindow(std::shared_ptr<NativeConnection> connection, TabrelWindows *windows,
                                   Actions actions, const QString &appearance,
                                   const SheetModelEnvironment &environment) {
    setObjectName(QStringLiteral("home"));
    setWindowTitle(tabrelMacString("Home"));
    resize(1000, 760);
    m_account =
        new TabrelAccountWindow(connection, windows, actions.openDocument, appearance, environment, this);
    setCentralWidget(m_account);

    TabrelWindowCommands::Context context;
    context.windows = windows;
    context.account = [connection] { return connection->activeAccountID(); };
    context.accountActions = [this]() -> std::optional<TabrelAccountActions> {
        if (TabrelWorkspace *workspace = m_account->workspace())
            return workspace->accountActions();
        return std::nullopt;
    };
    context.openHome = actions.openHome;
    context.openDocument = actions.openDocument;
    context.quit = actions.quit;
    context.updater = actions.updater;
    m_commands = new TabrelWindowCommands(menuBar(), std::move(context), this);
    m_editorCommands = new TabrelEditorCommands(menuBar(), this);

    auto follow = [this] {
        if (TabrelWorkspace *workspace = m_account->workspace())
            connect(workspace, &TabrelWorkspace::accountActionsChanged, m_commands,
                    &TabrelWindowCommands::refresh, Qt::UniqueConnection);
        m_commands->refresh();
    };
    connect(m_account, &TabrelAccountWindow::workspaceChanged, this, follow);
    connect(connection.get(), &NativeConnection::activeAccountIDChanged, m_commands,
            &TabrelWindowCommands::refresh);
    follow();
}
