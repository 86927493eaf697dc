#pragma once

#include "app/TabrelAccountActions.h"
#include "async/CancellationSource.h"
#include "sheet/SheetModel.h"
#include "sheet/views/SheetPanels.h"

#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>
#include <optional>

class NativeOfflineBanner;
class SheetCloseGuard;

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QStackedWidget;
class QToolBar;

// The content of every window: with a document, the editor of that one spreadsheet; without, the
// Home list of the account's spreadsheets. Owns the window's one SheetModel and runs its loading and
// live updates; reports to its owner through the callbacks.
class TabrelWorkspace : public QWidget {
    Q_OBJECT
public:
    struct Recent {
        quint64 id = 0;
        QString title;
    };
    struct Callbacks {
        std::function<void(quint64 id, const QString &title)> openDocument;
        std::function<void(const QList<Recent> &)> updateRecents; // Home only
        std::function<void()> signOut;
        std::function<void()> accounts; // empty: no accounts UI
    };

    TabrelWorkspace(std::shared_ptr<NativeTransport> client, std::optional<quint64> documentID,
                    Callbacks callbacks, QString appearance = QStringLiteral("auto"),
                    SheetModelEnvironment environment = {}, QWidget *parent = nullptr);
    ~TabrelWorkspace() override;

    const std::shared_ptr<SheetModel> &model() const { return m_model; }
    std::shared_ptr<NativeTransport> client() const { return m_client; }
    bool isHome() const { return !m_documentID.has_value(); }
    const QString &appearance() const { return m_appearance; }

    // Home.
    void setQuery(const QString &query);
    const QString &query() const { return m_query; }
    QList<SheetSummary> filteredSheets() const;
    // True when `title` contains `query`, ignoring case and accents.
    static bool matches(const QString &title, const QString &query);
    // `workspace` when it edits a sheet, else null. The connections in `follow` are replaced by ones
    // that run `refresh` whenever that sheet's page, busy state or unconfirmed changes move.
    static TabrelWorkspace *followEditor(TabrelWorkspace *workspace, QObject *receiver,
                                         const std::function<void()> &refresh,
                                         QList<QMetaObject::Connection> &follow);
    void setCanSignOut(bool canSignOut);
    TabrelAccountActions accountActions() const;
    // Creates a spreadsheet and opens it in a window of its own.
    void createSheet();
    QLineEdit *searchField() const { return m_search; }
    QListWidget *cards() const { return m_cards; }
    QPushButton *newButton() const { return m_newButton; }
    QLabel *emptyLabel() const { return m_emptyTitle; }

    // Editor.
    QString title() const;
    QWidget *editor() const { return m_editor; }
    QLabel *errorLabel() const { return m_error; }
    QWidget *failedRow() const { return m_failedRow; }
    QLabel *truncatedNote() const { return m_truncated; }
    QLabel *warnedNote() const { return m_warned; }
    NativeOfflineBanner *offlineBanner() const { return m_banner; }

    // The side panel shown over the window; empty when none.
    QString panel() const;
    void openPanel(const QString &name);
    SheetPanels *panelDialog() const { return m_panels; }

    // Whether the window is the active one; live updates run only then.
    void setSceneActive(bool active);
    bool sceneActive() const { return m_sceneActive; }
    bool watching() const { return m_watch != nullptr; }

Q_SIGNALS:
    void titleChanged(const QString &title);
    void accountActionsChanged();

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildHome();
    QWidget *buildEditor();
    void start();
    void requestList();
    void updateList();
    void reportRecents();
    void updateEditor();
    void updateLiveTask();

    std::shared_ptr<NativeTransport> m_client;
    std::optional<quint64> m_documentID;
    Callbacks m_callbacks;
    QString m_appearance;
    std::shared_ptr<SheetModel> m_model;
    bool m_canSignOut = true;
    QString m_query;
    bool m_started = false;
    bool m_listRequested = false;

    bool m_sceneActive = false;
    QString m_liveKey;
    std::shared_ptr<CancellationSource> m_watch;
    QPointer<QWidget> m_watchedWindow;

    // Home.
    QLineEdit *m_search = nullptr;
    QLabel *m_homeError = nullptr;
    QStackedWidget *m_listPages = nullptr;
    QListWidget *m_cards = nullptr;
    QLabel *m_emptyIcon = nullptr;
    QLabel *m_emptyTitle = nullptr;
    QPushButton *m_newButton = nullptr;

    // Editor.
    QWidget *m_editor = nullptr;
    QWidget *m_failedRow = nullptr;
    QPushButton *m_retry = nullptr;
    QPushButton *m_discard = nullptr;
    QLabel *m_error = nullptr;
    QLabel *m_truncated = nullptr;
    QLabel *m_warned = nullptr;

    NativeOfflineBanner *m_banner = nullptr;
    QPointer<SheetPanels> m_panels;
    SheetCloseGuard *m_guard = nullptr;
};
