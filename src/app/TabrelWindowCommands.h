#pragma once

#include "app/TabrelAccountActions.h"

#include <QObject>
#include <QUuid>

#include <functional>
#include <optional>

class QAction;
class QMenu;
class QMenuBar;
class TabrelDocumentMenu;
class TabrelWindows;
class NativeUpdater;

// The File menu of a window: new spreadsheet, the recent documents of the window's account, the
// document items, account management and sign-out, and Quit.
class TabrelWindowCommands : public QObject {
    Q_OBJECT
public:
    static constexpr int maxRecent = 20;

    struct Context {
        TabrelWindows *windows = nullptr;
        // The account the window shows; none in a window without one.
        std::function<std::optional<QString>()> account;
        // What the window's Home view offers; none in document windows.
        std::function<std::optional<TabrelAccountActions>()> accountActions;
        std::function<void()> openHome;
        std::function<void(const QUuid &)> openDocument;
        std::function<void()> quit;
        NativeUpdater *updater = nullptr;
    };

    TabrelWindowCommands(QMenuBar *bar, Context context, QObject *parent = nullptr);

    QMenu *fileMenu() const { return m_file; }
    QMenu *recentMenu() const { return m_recent; }
    TabrelDocumentMenu *documentMenu() const { return m_document; }
    QAction *newAction() const { return m_new; }
    QAction *accountsAction() const { return m_accounts; }
    QAction *signOutAction() const { return m_signOut; }
    QAction *quitAction() const { return m_quit; }

    // Re-reads the enabled states and the recent list.
    void refresh();

private:
    void rebuildRecent();

    Context m_context;
    QMenu *m_file = nullptr;
    QMenu *m_recent = nullptr;
    TabrelDocumentMenu *m_document = nullptr;
    QAction *m_new = nullptr;
    QAction *m_accounts = nullptr;
    QAction *m_signOut = nullptr;
    QAction *m_close = nullptr;
    QAction *m_quit = nullptr;
};
