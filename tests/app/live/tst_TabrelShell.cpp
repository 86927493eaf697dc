#include "ShellFixture.h"
#include "TaskRunner.h"

#include "app/SheetCloseGuard.h"
#include "app/TabrelAccountWindow.h"
#include "app/TabrelApplicationDelegate.h"
#include "app/TabrelDocumentMenu.h"
#include "app/TabrelDocumentWindow.h"
#include "app/TabrelEditorCommands.h"
#include "app/TabrelHomeWindow.h"
#include "app/TabrelWindowCommands.h"
#include "app/TabrelWindows.h"
#include "app/TabrelWorkspace.h"
#include "async/DetachedTask.h"
#include "connection/views/NativeAccountsView.h"
#include "sheet/views/SheetPanels.h"
#include "sheet/views/SheetRenamePanel.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QMessageBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

namespace {
constexpr int wait = 20000;

TabrelWorkspace *homeOf(TabrelApp &app) {
    return app.home()->accountWindow()->workspace();
}

QStringList menuTexts(QMenu *menu) {
    Q_EMIT menu->aboutToShow();
    QStringList out;
    for (QAction *action : menu->actions())
        out << action->text();
    return out;
}

void answer(QMessageBox *box, const QString &text) {
    QVERIFY(box);
    for (QAbstractButton *button : box->buttons())
        if (button->text() == text)
            return button->click();
    QFAIL(qPrintable("no button " + text));
}

// The page is there and its first reload done.
bool loaded(const SheetModel &model) {
    return model.page().has_value() && !model.busy();
}

// The alert's buttons as a person sees them, left to right.
QStringList buttonsInOrder(QMessageBox *box) {
    QList<QAbstractButton *> buttons = box->buttons();
    std::sort(buttons.begin(), buttons.end(), [](QAbstractButton *a, QAbstractButton *b) {
        return a->mapToGlobal(QPoint()).x() < b->mapToGlobal(QPoint()).x();
    });
    QStringList out;
    for (QAbstractButton *button : buttons)
        out << button->text();
    return out;
}

// What Home listed when its window first showed; nothing until then.
class FirstShow : public QObject {
public:
    explicit FirstShow(TabrelApp &app) : m_app(app) { app.home()->installEventFilter(this); }
    std::optional<qsizetype> cards;

    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Show && !cards)
            cards = homeOf(m_app) ? homeOf(m_app)->cards()->count() : -1;
        return false;
    }

private:
    TabrelApp &m_app;
};

// Opens `sheet` from the Home list as a person does, and waits for its page.
TabrelDocumentWindow *openFromHome(TabrelApp &app, const QString &title) {
    TabrelWorkspace *home = homeOf(app);
    QListWidget *cards = home->cards();
    for (int i = 0; i < cards->count(); ++i)
        if (cards->item(i)->data(Qt::UserRole).toString() == title)
            Q_EMIT cards->itemActivated(cards->item(i));
    for (TabrelDocumentWindow *window : app.documentWindows())
        if (window->workspace() &&
            QTest::qWaitFor([window] { return loaded(*window->workspace()->model()); }, wait) &&
            window->workspace()->model()->page()->Sheet.Title == title)
            return window;
    return nullptr;
}
} // namespace

// The application on a real server: Home, document windows, menus, the close and quit checks, and
// the panel frame with the Rename panel.
class TestTabrelShell : public QObject {
    Q_OBJECT

    std::unique_ptr<ShellFixture> fixture;

    // Creates the sheets, starts the application and waits until Home lists them all.
    TabrelApp &startWith(const QStringList &titles) {
        for (const QString &title : titles)
            fixture->account().createSheet(title);
        TabrelApp &app = fixture->app();
        app.start();
        FirstShow shown(app);
        [&] {
            QTRY_VERIFY_WITH_TIMEOUT(homeOf(app) && homeOf(app)->model()->sheets().size() == titles.size(),
                                     wait);
            // Opening the stored session never shows the accounts view, not even for a moment, and
            // the window shows once, with the list.
            QVERIFY(!app.home()->accountWindow()->accountsView());
            QTRY_VERIFY(shown.cards.has_value());
            QCOMPARE(*shown.cards, titles.size());
        }();
        return app;
    }

private Q_SLOTS:
    void init() {
        setEscapedErrorHandler([](std::exception_ptr) { QFAIL("an exception escaped a background task"); });
        fixture = std::make_unique<ShellFixture>();
        QVERIFY2(fixture->ok(), qPrintable(fixture->account().error()));
    }
    void cleanup() {
        fixture.reset();
        setEscapedErrorHandler({});
    }

    // Nothing found; upper case; no accent typed for an accented title, and the reverse; inside a word.
    void searchIgnoresCaseAndAccents() {
        TabrelApp &app = startWith({"Budget 2024", "Café plan", "Notes"});
        TabrelWorkspace *home = homeOf(app);
        // Each card shows its sheet and its first tab, and screen readers hear them apart.
        const QList<SheetSummary> sheets = home->model()->sheets();
        for (int i = 0; i < home->cards()->count(); ++i) {
            const QListWidgetItem *card = home->cards()->item(i);
            const SheetSummary &sheet = sheets.at(i);
            QCOMPARE(card->text(), sheet.Title + u'\n' + sheet.TabName);
            QCOMPARE(card->data(Qt::AccessibleTextRole).toString(), sheet.Title);
            QCOMPARE(card->data(Qt::AccessibleDescriptionRole).toString(), sheet.TabName);
            QCOMPARE(card->data(Qt::UserRole).toString(), sheet.Title);
        }
        QCOMPARE(app.windows()->entries().size(), 3);
        for (const auto &[query, expected] : {std::pair(QString("zebra"), QStringList{}),
                                              {"BUDGET", {"Budget 2024"}},
                                              {"cafe", {"Café plan"}},
                                              {"nötes", {"Notes"}},
                                              {"udg", {"Budget 2024"}}}) {
            home->setQuery(query);
            QStringList shown;
            for (int i = 0; i < home->cards()->count(); ++i)
                shown << home->cards()->item(i)->data(Qt::UserRole).toString();
            QCOMPARE(shown, expected);
            QCOMPARE(home->emptyLabel()->isVisibleTo(home), expected.isEmpty());
        }
        // While a search is typed the list is not reported as recents; an empty search reports it.
        fixture->account().createSheet(QStringLiteral("Later"));
        runTask(home->model()->loadList());
        QCOMPARE(app.windows()->entries().size(), 3);
        home->setQuery(QString());
        QCOMPARE(app.windows()->entries().size(), 4);
    }

    void documentWindowsAndTheAccountMenu() {
        TabrelApp &app = startWith({"Budget"});
        TabrelWindowCommands *homeCommands = app.home()->commands();
        QVERIFY(homeCommands->signOutAction()->isEnabled());
        TabrelDocumentWindow *document = openFromHome(app, QStringLiteral("Budget"));
        QVERIFY(document);
        QCOMPARE(document->windowTitle() + u' ' + document->objectName(), "Budget document");
        openFromHome(app, QStringLiteral("Budget")); // again: the same window is raised
        QCOMPARE(app.documentWindows().size(), 1);
        QCOMPARE(app.windows()->entries().size(), 1);
        // Signing out is refused while a document window of the account is open.
        homeCommands->refresh();
        QVERIFY(!homeCommands->signOutAction()->isEnabled());
        homeCommands->signOutAction()->trigger();
        QVERIFY(app.connection()->client());
        QCOMPARE(menuTexts(document->commands()->recentMenu()), QStringList{"Budget"});
        QCOMPARE(menuTexts(homeCommands->recentMenu()), QStringList{"Budget"});
        // The document's items follow its page; Home has no editor.
        const auto enabled = [&] {
            return QList<bool>{document->commands()->documentMenu()->saveAction()->isEnabled(),
                               document->commands()->documentMenu()->renameAction()->isEnabled(),
                               document->editorCommands()->action("Fill down")->isEnabled(),
                               homeCommands->documentMenu()->saveAction()->isEnabled(),
                               app.home()->editorCommands()->action("Fill down")->isEnabled()};
        };
        QCOMPARE(enabled(), (QList<bool>{true, true, true, false, false}));
        document->workspace()->model()->setDraft(QStringLiteral("unsaved"));
        QCOMPARE(enabled(), (QList<bool>{true, false, false, false, false}));
        document->workspace()->model()->discard();
        QVERIFY(document->close());
        QTRY_VERIFY(app.documentWindows().isEmpty());
        QTRY_VERIFY(homeCommands->signOutAction()->isEnabled());
        homeCommands->signOutAction()->trigger();
        QTRY_VERIFY_WITH_TIMEOUT(!app.connection()->client(), wait);
        QVERIFY(!homeOf(app));
        QVERIFY(app.home()->accountWindow()->accountsView()->isVisibleTo(app.home()));
        QCOMPARE(menuTexts(homeCommands->recentMenu()), QStringList{"No recent documents"});
    }

    void recentListsTheWindowsOwnAccountAndAtMostTwenty() {
        TabrelWindows windows;
        const auto client = fixture->account().client();
        QList<TabrelWindows::Recent> many;
        for (quint64 i = 1; i <= 25; ++i)
            many.append({i, QStringLiteral("Sheet %1").arg(i)});
        windows.updateRecents(many, QStringLiteral("ann"), client);
        windows.updateRecents({{1, "Bob's"}}, QStringLiteral("bob"), client);
        windows.setActiveAccount(QStringLiteral("ann"));
        QMenuBar bar;
        std::optional<QString> focused = QStringLiteral("bob");
        TabrelWindowCommands::Context context;
        context.windows = &windows;
        context.account = [&focused] { return focused; };
        context.openHome = [] {};
        context.openDocument = [](const QUuid &) {};
        TabrelWindowCommands commands(&bar, context);
        QCOMPARE(menuTexts(commands.recentMenu()), QStringList{"Bob's"});
        focused.reset(); // no window publishes an account: the Home window's
        const QStringList shown = menuTexts(commands.recentMenu());
        QCOMPARE(shown.size(), TabrelWindowCommands::maxRecent);
        QCOMPARE(shown.first(), QStringLiteral("Sheet 1"));
        QCOMPARE(shown.last(), QStringLiteral("Sheet 20"));
    }

    void newSpreadsheetFromADocumentWindowOpensAnotherWindow() {
        TabrelApp &app = startWith({"First"});
        TabrelDocumentWindow *first = openFromHome(app, QStringLiteral("First"));
        QVERIFY(first);
        first->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(first));
        QTest::keyClick(first, Qt::Key_N, Qt::ControlModifier);
        QTRY_COMPARE_WITH_TIMEOUT(app.documentWindows().size(), 2, wait);
        QTRY_COMPARE_WITH_TIMEOUT(homeOf(app)->model()->sheets().size(), 2, wait);
        QVERIFY(!app.windows()->createRequested());
        TabrelDocumentWindow *created =
            app.documentWindows().value(app.documentWindows().first() == first); // the other
        QTRY_VERIFY_WITH_TIMEOUT(loaded(*created->workspace()->model()), wait);
        QVERIFY(created->workspace()->model()->page()->Sheet.ID !=
                first->workspace()->model()->page()->Sheet.ID);
    }

    void closeGuardAnswers_data() {
        QTest::addColumn<QString>("choice");
        QTest::addColumn<bool>("closes");
        QTest::addColumn<QString>("stored");
        QTest::newRow("Save") << "Save" << true << "42";
        QTest::newRow("Discard") << "Discard" << true << "";
        QTest::newRow("Cancel") << "Cancel" << false << "";
    }
    void closeGuardAnswers() {
        QFETCH(QString, choice);
        QFETCH(bool, closes);
        QFETCH(QString, stored);
        TabrelApp &app = startWith({"Guarded"});
        QPointer<TabrelDocumentWindow> window = openFromHome(app, QStringLiteral("Guarded"));
        QVERIFY(window);
        const auto model = window->workspace()->model();
        const quint64 sheet = model->page()->Sheet.ID;
        model->setDraft(QStringLiteral("42"));
        QVERIFY(!window->close());
        const auto guards = window->findChildren<SheetCloseGuard *>();
        QCOMPARE(guards.size(), 1);
        QMessageBox *alert = guards.first()->alert();
        QVERIFY(alert);
        QCOMPARE(alert->text() + u' ' + alert->informativeText(),
                 "Keep your cell edit? This cell has changes that have not been saved.");
        QTRY_VERIFY(alert->isVisible());
        QCOMPARE(buttonsInOrder(alert), (QStringList{"Save", "Discard", "Cancel"}));
        answer(alert, choice);
        if (closes)
            QTRY_VERIFY_WITH_TIMEOUT(window.isNull(), wait);
        else
            QVERIFY(window && window->isVisible() && model->draft() == QStringLiteral("42"));
        QCOMPARE(fixture->account().serverRaw(sheet, 0, 0), stored);
    }

    void aFailedSaveKeepsTheWindowAndTheEdit() {
        TabrelApp &app = startWith({"Offline"});
        QPointer<TabrelDocumentWindow> window = openFromHome(app, QStringLiteral("Offline"));
        QVERIFY(window);
        const auto model = window->workspace()->model();
        QVERIFY(fixture->account().server().stop());
        model->setDraft(QStringLiteral("kept"));
        QVERIFY(!window->close());
        answer(window->findChild<SheetCloseGuard *>()->alert(), QStringLiteral("Save"));
        QTRY_VERIFY_WITH_TIMEOUT(!model->busy() && !model->error().isEmpty(), wait);
        QTest::qWait(50);
        QVERIFY(window && window->isVisible() && model->hasUnconfirmedChanges());
        QVERIFY(window->workspace()->failedRow()->isVisibleTo(window) || model->draft() == u"kept");
        QVERIFY(window->workspace()->errorLabel()->isVisibleTo(window));
        // Quitting now asks; "Save" fails again, so the application keeps running with the edit.
        QCOMPARE(app.delegate()->requestQuit(), TabrelApplicationDelegate::Reply::later);
        QSignalSpy finished(app.delegate(), &TabrelApplicationDelegate::quitFinished);
        answer(app.delegate()->alert(), QStringLiteral("Save"));
        QVERIFY(finished.wait(wait));
        QCOMPARE(finished.first().first().toBool(), false);
        QCOMPARE(fixture->terminations(), 0);
        QVERIFY(model->hasUnconfirmedChanges());
    }

    void quitWaitsForTheSavesItStarted() {
        TabrelApp &app = startWith({"Dirty", "Clean"});
        TabrelDocumentWindow *dirtyWindow = openFromHome(app, QStringLiteral("Dirty"));
        QVERIFY(openFromHome(app, QStringLiteral("Clean")));
        QVERIFY(dirtyWindow);
        const auto model = dirtyWindow->workspace()->model();
        const quint64 dirty = model->page()->Sheet.ID;
        // Nothing unsaved: quits at once.
        QCOMPARE(app.delegate()->requestQuit(), TabrelApplicationDelegate::Reply::now);
        QCOMPARE(fixture->terminations(), 1);
        model->setDraft(QStringLiteral("7"));
        QCOMPARE(app.delegate()->requestQuit(), TabrelApplicationDelegate::Reply::later);
        QCOMPARE(app.delegate()->alert()->text(), "Save your spreadsheet edits before quitting?");
        QSignalSpy finished(app.delegate(), &TabrelApplicationDelegate::quitFinished);
        answer(app.delegate()->alert(), QStringLiteral("Save"));
        QVERIFY(app.delegate()->waiting());
        // A save is in flight: another quit is refused and nothing ends yet.
        QCOMPARE(app.delegate()->requestQuit(), TabrelApplicationDelegate::Reply::cancel);
        QCOMPARE(fixture->terminations(), 1);
        QVERIFY(finished.wait(wait));
        QCOMPARE(finished.first().first().toBool(), true);
        QCOMPARE(fixture->terminations(), 2);
        QCOMPARE(fixture->account().serverRaw(dirty, 0, 0), QStringLiteral("7"));
        // "Discard" drops the edit and quits; "Cancel" keeps both.
        model->setDraft(QStringLiteral("8"));
        app.delegate()->requestQuit();
        answer(app.delegate()->alert(), QStringLiteral("Cancel"));
        QCOMPARE(fixture->terminations(), 2);
        QCOMPARE(model->draft(), QStringLiteral("8"));
        app.delegate()->requestQuit();
        answer(app.delegate()->alert(), QStringLiteral("Discard"));
        QCOMPARE(fixture->terminations(), 3);
        QVERIFY(!model->hasUnconfirmedChanges());
        QCOMPARE(fixture->account().serverRaw(dirty, 0, 0), QStringLiteral("7"));
    }

    // The server ends the session: Home turns into the accounts view with the reason, no crash.
    void anEndedSessionShowsTheAccountsView() {
        TabrelApp &app = startWith({"Before"});
        TestClient server = fixture->account().testClient();
        QVERIFY(server.post("/signout", "", "application/x-www-form-urlencoded")->status < 400);
        runTask(homeOf(app)->model()->loadList());
        QTRY_VERIFY_WITH_TIMEOUT(!app.connection()->client(), wait);
        QVERIFY(app.home()->accountWindow()->accountsView()->isVisibleTo(app.home()));
        QCOMPARE(app.connection()->error(), "Your session has ended. Sign out and sign in again.");
        QVERIFY(app.connection()->accounts().isEmpty());
    }

    // Refused while an edit is unsaved, with the panel kept open; then renamed in page and list.
    void renameReloadsListAndPage() {
        const auto model = fixture->account().model();
        QVERIFY(runTask(model->create(true)) && model->page());
        const quint64 id = model->page()->Sheet.ID;
        const QString before = model->page()->Sheet.Title;
        SheetPanels panels(model, QStringLiteral("Rename"), {});
        QSignalSpy closed(&panels, &QDialog::finished);
        panels.show();
        auto *rename = qobject_cast<SheetRenamePanel *>(panels.content());
        QVERIFY(rename);
        QCOMPARE(rename->titleField()->text(), before);
        model->setDraft(QStringLiteral("unsaved"));
        rename->titleField()->setText(QStringLiteral("Quarterly plan"));
        rename->renameButton()->click();
        QTRY_VERIFY(panels.errorLabel()->isVisible());
        QCOMPARE(panels.errorLabel()->text(), "Save or discard the current edit first.");
        QVERIFY(panels.isVisible() && model->page()->Sheet.Title == before);
        QCOMPARE(rename->titleField()->text(), "Quarterly plan");
        model->discard();
        model->setError(QString());
        QVERIFY(!panels.errorLabel()->isVisible());
        rename->renameButton()->click();
        QVERIFY(closed.wait(20000));
        QCOMPARE(model->page()->Sheet.Title, "Quarterly plan");
        QCOMPARE(model->page()->Sheet.ID, id);
        QVERIFY(
            std::any_of(model->sheets().cbegin(), model->sheets().cend(), [id](const SheetSummary &sheet) {
                return sheet.ID == id && sheet.Title == u"Quarterly plan";
            }));
    }

    // A registered panel shows its content, an unknown one none; both close with Done.
    void panelsByName() {
        SheetPanels::registerPanel(QStringLiteral("Comments"),
                                   [](const std::shared_ptr<SheetModel> &, SheetPanels *) {
                                       return new QLabel(QStringLiteral("registered content"));
                                   });
        for (const auto &[name, shown] :
             {std::pair(QString("Comments"), QString("registered content")), {"Nonsense", ""}}) {
            SheetPanels panels(fixture->account().model(), name, {});
            panels.show();
            QCOMPARE(panels.windowTitle(), name);
            auto *label = qobject_cast<QLabel *>(panels.content());
            QCOMPARE(label ? label->text() : QString(), shown);
            QSignalSpy closed(&panels, &QDialog::finished);
            for (QPushButton *button : panels.findChildren<QPushButton *>())
                if (button->text() == u"Done")
                    button->click();
            QCOMPARE(closed.size(), 1);
        }
    }
};

QTEST_MAIN(TestTabrelShell)
#include "tst_TabrelShell.moc"
