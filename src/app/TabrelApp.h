#pragma once

#include "connection/NativeConnection.h"
#include "sheet/SheetModel.h"
#include "updates/NativeUpdater.h"

#include <QFuture>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QUuid>

#include <memory>

class TabrelApplicationDelegate;
#include "app/TabrelDocumentWindow.h"
#include "app/TabrelHomeWindow.h"
class TabrelWindows;

// The application: the registry, the quit check, the one Home window and a document window per
// registry entry shown. Opening an entry that already has a window brings that window forward.
// Nothing of the windows is restored at the next start.
class TabrelApp : public QObject {
    Q_OBJECT
public:
    struct Options {
        QString defaultServer = NativeConnection::defaultServer();
        // The scheme the installed desktop file registers; the default server's when absent.
        std::optional<QString> callbackScheme;
        std::shared_ptr<QSettings> settings;              // default: the user's settings
        std::shared_ptr<NativeConnectivity> connectivity; // default: the shared one
        NativeConnection::Services services;              // default: the system browser
        SheetModelEnvironment environment;
        std::function<void()> terminate; // default: QApplication::quit
    };

    explicit TabrelApp(Options options, QObject *parent = nullptr);
    ~TabrelApp() override;

    // Restores the active account and shows the Home window: at once, or with a stored session
    // once its Home list (or the accounts view) is there.
    void start();

    TabrelWindows *windows() const { return m_windows; }
    TabrelApplicationDelegate *delegate() const { return m_delegate; }
    const std::shared_ptr<NativeConnection> &connection() const { return m_connection; }
    TabrelHomeWindow *home() const { return m_home; }
    QList<TabrelDocumentWindow *> documentWindows() const;
    TabrelDocumentWindow *documentWindow(const QUuid &id) const { return m_documents.value(id); }

    void openHome();
    void openDocument(const QUuid &id);
    // A URL handed to the application (the browser's sign-in callback).
    void handleOpenURL(const QUrl &url);
    void quit();

private:
    void watchForEndedSessions();
    void sessionEnded(const std::shared_ptr<NativeTransport> &client);

    // Lets answers from the network threads find the application while it lives.
    std::shared_ptr<TabrelApp *> m_alive = std::make_shared<TabrelApp *>(this);
    QFuture<void> m_fonts;
    QFuture<void> m_imageFormats;
    Options m_options;
    QString m_appearance;
    TabrelWindows *m_windows = nullptr;
    TabrelApplicationDelegate *m_delegate = nullptr;
    std::shared_ptr<NativeConnection> m_connection;
    QPointer<TabrelHomeWindow> m_home;
    QHash<QUuid, QPointer<TabrelDocumentWindow>> m_documents;
    // Unconfigured (both items disabled) unless the build names a feed and a key.
    std::unique_ptr<NativeUpdater> m_updater = std::make_unique<NativeUpdater>();
};
