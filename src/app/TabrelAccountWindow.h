#pragma once

#include <QPointer>
#include <QUuid>
#include <QWidget>

#include <functional>
#include <memory>

class NativeAccountsView;
class NativeConnection;
class QStackedWidget;
class TabrelWindows;
#include "app/TabrelWorkspace.h"
struct SheetModelEnvironment;

// The content of the Home window: the accounts view and sign-in while no account is active,
// otherwise the Home workspace of the active account, wired to the registry.
class TabrelAccountWindow : public QWidget {
    Q_OBJECT
public:
    TabrelAccountWindow(std::shared_ptr<NativeConnection> connection, TabrelWindows *windows,
                        std::function<void(const QUuid &)> openDocument, QString appearance,
                        const SheetModelEnvironment &environment, QWidget *parent = nullptr);
    ~TabrelAccountWindow() override;

    const std::shared_ptr<NativeConnection> &connection() const { return m_connection; }
    // The Home workspace of the active account; null while the accounts view shows.
    TabrelWorkspace *workspace() const { return m_workspace; }
    // Made the first time it shows; null until then.
    NativeAccountsView *accountsView() const { return m_accounts; }
    // True while the stored account's session is read at start-up and its Home list loads.
    bool restoring() const { return m_restoring != nullptr; }

    // The server ended the active account's session: without a document window of the account
    // open, the account signs out and the accounts view says why; otherwise Home keeps showing the
    // error until those windows close.
    void sessionEnded();

Q_SIGNALS:
    // The workspace was replaced (another account, or none).
    void workspaceChanged();
    // The start-up restore ended: Home, the accounts view or the error shows.
    void restored();

private:
    void rebuild();
    NativeAccountsView *accounts();
    void showPage();
    void endRestore();
    void updateCanSignOut();
    void signOut(const QString &account);
    bool current(const QString &account) const;

    std::shared_ptr<NativeConnection> m_connection;
    TabrelWindows *m_windows;
    std::function<void(const QUuid &)> m_openDocument;
    QString m_appearance;
    std::unique_ptr<SheetModelEnvironment> m_environment;
    QStackedWidget *m_stack = nullptr;
    NativeAccountsView *m_accounts = nullptr;
    // An empty page while the stored account's session is read at start-up and its Home list
    // loads; null afterwards.
    QWidget *m_restoring = nullptr;
    QPointer<TabrelWorkspace> m_workspace;
};
