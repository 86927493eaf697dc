#include "app/TabrelDocumentWindow.h"

#include "app/TabrelDocumentMenu.h"
#include "app/TabrelEditorCommands.h"
#include "app/TabrelStrings.h"
#include "app/TabrelWindowCommands.h"
#include "app/TabrelWindows.h"
#include "app/TabrelWorkspace.h"
#include "connection/views/NativeIcon.h"

#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QVBoxLayout>

TabrelDocumentWindow::TabrelDocumentWindow(TabrelWindows *windows, const QUuid &id, Actions actions,
                                           const QString &appearance,
                                           const SheetModelEnvironment &environment)
    : m_windows(windows), m_id(id) {
    setObjectName(QStringLiteral("document"));
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(tabrelMacString("Tabrel"));
    resize(1120, 820);

    const TabrelWindows::Entry *entry = windows->entry(id);
    if (entry) {
        m_account = entry->account;
        TabrelWorkspace::Callbacks callbacks;
        callbacks.signOut = [] {};
        m_workspace = new TabrelWorkspace(entry->client, entry->document, std::move(callbacks), appearance,
                                          environment, this);
        setCentralWidget(m_workspace);
        connect(m_workspace, &TabrelWorkspace::titleChanged, this, &QWidget::setWindowTitle);
        setWindowTitle(m_workspace->title());
    } else {
        auto *empty = new QWidget(this);
        auto *layout = new QVBoxLayout(empty);
        auto *icon = new QLabel(empty);
        icon->setPixmap(nativeIcon(QStringLiteral("go-home")).pixmap(48, 48));
        auto *label = new QLabel(tabrelMacString("Open a document from Home"), empty);
        auto *home = new QPushButton(tabrelMacString("Home"), empty);
        layout->addStretch();
        layout->addWidget(icon, 0, Qt::AlignHCenter);
        layout->addWidget(label, 0, Qt::AlignHCenter);
        layout->addWidget(home, 0, Qt::AlignHCenter);
        layout->addStretch();
        connect(home, &QPushButton::clicked, this, actions.openHome);
        setCentralWidget(empty);
    }

    TabrelWindowCommands::Context context;
    context.windows = windows;
    const std::optional<QString> account = entry ? std::optional<QString>(m_account) : std::nullopt;
    context.account = [account] { return account; };
    context.openHome = actions.openHome;
    context.openDocument = actions.openDocument;
    context.quit = actions.quit;
    context.updater = actions.updater;
    m_commands = new TabrelWindowCommands(menuBar(), std::move(context), this);
    m_commands->documentMenu()->setEditor(m_workspace);
    m_editorCommands = new TabrelEditorCommands(menuBar(), this);
    m_editorCommands->setEditor(m_workspace);
}

TabrelDocumentWindow::~TabrelDocumentWindow() {
    if (m_workspace && m_windows)
        m_windows->setOpen(m_id, false);
}

void TabrelDocumentWindow::showEvent(QShowEvent *event) {
    QMainWindow::showEvent(event);
    if (m_workspace)
        m_windows->setOpen(m_id, true);
}
