#include "app/TabrelApp.h"

#include "app/TabrelAccountWindow.h"
#include "app/TabrelApplicationDelegate.h"
#include "app/TabrelDocumentWindow.h"
#include "app/TabrelHomeWindow.h"
#include "app/TabrelWindows.h"
#include "async/DetachedTask.h"
#include "connection/NativeHTTP.h"
#include "connection/desktop/NativeBrowserSignInDesktop.h"

#include <QBuffer>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QImageReader>
#include <QLayout>
#include <QSessionManager>
#include <QTimer>
#include <QtConcurrent/QtConcurrentRun>

namespace {
// Qt asks every image-format plugin before its own PNG reader, so the first icon read loads them
// all (with libjpeg). Reading a PNG header once here does that on another thread.
void loadImageFormats() {
    QBuffer header;
    header.setData(QByteArrayLiteral("\x89PNG\r\n\x1a\n"));
    QImageReader(&header, "png").canRead();
}
} // namespace

TabrelApp::TabrelApp(Options options, QObject *parent) : QObject(parent), m_options(std::move(options)) {
    // The font database (fontconfig's configuration and font caches) loads on another thread while
    // the connection and the Home window are set up; the first text laid out waits only for the rest.
    if (qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        m_fonts = QtConcurrent::run([] { QFontDatabase::families(); });
        m_imageFormats = QtConcurrent::run([] { loadImageFormats(); });
    }
    if (!m_options.settings)
        m_options.settings = std::make_shared<QSettings>();
    if (!m_options.services.openBrowser)
        m_options.services.openBrowser = [](QUrl url) { return nativeOpenInSystemBrowser(std::move(url)); };
    m_appearance =
        m_options.settings->value(QStringLiteral("tabrel.appearance"), QStringLiteral("auto")).toString();
    m_windows = new TabrelWindows(this);
    m_delegate = new TabrelApplicationDelegate(m_options.terminate, this);
    if (auto *gui = qobject_cast<QGuiApplication *>(QCoreApplication::instance())) {
        connect(gui, &QGuiApplication::commitDataRequest, m_delegate,
                [this](QSessionManager &manager) { m_delegate->commitData(manager); });
    }
    watchForEndedSessions();
    m_connection = NativeConnection::create(m_options.defaultServer, m_options.callbackScheme,
                                            m_options.settings, m_options.connectivity, m_options.services);
}

TabrelApp::~TabrelApp() {
    m_fonts.waitForFinished(); // it uses the application's font database
    m_imageFormats.waitForFinished();
    for (const auto &window : std::as_const(m_documents))
        delete window.data();
    delete m_home.data();
}

// Every client the connection makes reports its answers here too: a 401 (or the redirect to a
// sign-in page) means the server ended the session.
void TabrelApp::watchForEndedSessions() {
    NativeConnection::ClientFactory make = m_options.services.makeClient;
    if (!make) {
        make = [](const QUrl &origin, const std::optional<NativeSession> &credential,
                  NativeTransportObserver observer) -> std::shared_ptr<NativeTransport> {
            return NativeHTTP::create(origin, credential, std::move(observer));
        };
    }
    const std::weak_ptr<TabrelApp *> alive = m_alive;
    m_options.services.makeClient = [make, alive](const QUrl &origin,
                                                  const std::optional<NativeSession> &credential,
                                                  NativeTransportObserver observer) {
        // Written once below, before the client sends anything; read on the GUI thread only.
        auto made = std::make_shared<std::weak_ptr<NativeTransport>>();
        NativeTransportObserver watched = [observer, alive, made](const NativeTransportOutcome &outcome) {
            if (observer)
                observer(outcome);
            if (outcome.kind != NativeTransportOutcome::Kind::responded ||
                (outcome.status != 401 && outcome.status != 303))
                return;
            QMetaObject::invokeMethod(
                QCoreApplication::instance(),
                [alive, made] {
                    if (const auto app = alive.lock())
                        (*app)->sessionEnded(made->lock());
                },
                Qt::QueuedConnection);
        };
        std::shared_ptr<NativeTransport> client = make(origin, credential, std::move(watched));
        *made = client;
        return client;
    };
}

void TabrelApp::sessionEnded(const std::shared_ptr<NativeTransport> &client) {
    if (client && m_home && client == m_connection->client())
        m_home->accountWindow()->sessionEnded();
}

void TabrelApp::start() {
    // The stored session is read from the keyring while the window is built: the request for the
    // sheet list then leaves as soon as the session is there.
    startDetached(m_connection, [connection = m_connection] { return connection->start(); });
    TabrelHomeWindow::Actions actions{[this] { openHome(); }, [this](const QUuid &id) { openDocument(id); },
                                      [this] { quit(); }, m_updater.get()};
    m_home = new TabrelHomeWindow(m_connection, m_windows, actions, m_appearance, m_options.environment);
    // Shown at once, the window would be laid out and painted empty while the session is read and
    // the list loads, and the keyring's answer would wait for that paint: it shows once its
    // content is there (at most the account window's grace period later).
    TabrelAccountWindow *account = m_home->accountWindow();
    if (account->restoring()) {
        connect(account, &TabrelAccountWindow::restored, m_home, &QWidget::show, Qt::SingleShotConnection);
        // Meanwhile the GUI thread only waits for the keyring: the hidden window is polished and
        // laid out in its first idle turn, which also loads the fonts Home's widgets are measured
        // with, work that would otherwise come after the list request.
        QTimer::singleShot(0, m_home, [home = m_home] {
            home->ensurePolished();
            home->layout()->activate();
        });
    } else {
        m_home->show();
    }
}

QList<TabrelDocumentWindow *> TabrelApp::documentWindows() const {
    QList<TabrelDocumentWindow *> out;
    for (const auto &window : m_documents) {
        if (window)
            out.append(window);
    }
    return out;
}

void TabrelApp::openHome() {
    if (!m_home)
        return;
    m_home->show();
    m_home->raise();
    m_home->activateWindow();
}

void TabrelApp::openDocument(const QUuid &id) {
    if (TabrelDocumentWindow *existing = m_documents.value(id)) {
        existing->show();
        existing->raise();
        existing->activateWindow();
        return;
    }
    TabrelDocumentWindow::Actions actions{[this] { openHome(); },
                                          [this](const QUuid &other) { openDocument(other); },
                                          [this] { quit(); }, m_updater.get()};
    auto *window = new TabrelDocumentWindow(m_windows, id, actions, m_appearance, m_options.environment);
    m_documents.insert(id, window);
    connect(window, &QObject::destroyed, this, [this, id] { m_documents.remove(id); });
    window->show();
    window->activateWindow();
}

void TabrelApp::handleOpenURL(const QUrl &url) {
    m_connection->handleOpenURL(url);
}

void TabrelApp::quit() {
    m_delegate->requestQuit();
}
