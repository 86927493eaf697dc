#include "ConnectionFixture.h"

#include "app/TabrelAppearance.h"
#include "connection/NativeAccountSettings.h"
#include "connection/NativeConnectivity.h"
#include "connection/NativeFakeClock.h"
#include "connection/NativeFakePathSource.h"
#include "connection/views/NativeAccountsView.h"
#include "connection/views/NativeIcon.h"
#include "connection/views/NativeOfflineBanner.h"
#include "connection/views/NativeSignInView.h"

#include <QAccessible>
#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QPushButton>
#include <QSignalSpy>
#include <QStyle>
#include <QTest>
#include <QVBoxLayout>

namespace {
const QUrl origin(QStringLiteral("https://a.example"));
const QUrl otherOrigin(QStringLiteral("https://b.example:8443"));
const QString message = QStringLiteral("You’re offline. Waiting for a connection.");

struct Host {
    std::shared_ptr<NativeFakePathSource> path = std::make_shared<NativeFakePathSource>();
    std::shared_ptr<NativeConnectivity> connectivity = NativeConnectivity::create(path);
    QWidget window;

    NativeOfflineBanner *banner(const QUrl &shown) {
        auto *banner = new NativeOfflineBanner(connectivity, shown, message, &window);
        if (!window.layout())
            new QVBoxLayout(&window);
        window.layout()->addWidget(banner);
        return banner;
    }
    // Path reports reach the connectivity through the event loop.
    void reportPath(NativePath::Status status) {
        const NativePath reported{status, false, false};
        path->report(reported);
        QTRY_VERIFY(connectivity->path() == reported);
    }
};
} // namespace

class TestNativeViews : public QObject {
    Q_OBJECT
private Q_SLOTS:
    // The banner follows its own origin and announces each transition to offline once.
    void bannerAnnouncesOncePerTransition() {
        Host host;
        host.reportPath(NativePath::Status::satisfied);
        NativeOfflineBanner *banner = host.banner(origin);
        host.window.show();
        QSignalSpy announced(banner, &NativeOfflineBanner::announced);
        QVERIFY(!banner->isVisible());
        const auto offline = NativeTransportOutcome::offline(UrlErrorCode::cannotConnectToHost);
        host.connectivity->record(offline, otherOrigin);
        QVERIFY(!banner->isVisible());
        QCOMPARE(announced.size(), 0);
        host.connectivity->record(offline, origin);
        QVERIFY(banner->isVisible());
        QCOMPARE(announced.size(), 1);
        // Still offline, the path now drops too: no second announcement.
        host.reportPath(NativePath::Status::unsatisfied);
        banner->repaint();
        QCOMPARE(announced.size(), 1);
        host.reportPath(NativePath::Status::satisfied);
        host.connectivity->record(NativeTransportOutcome::responded(200), origin);
        QVERIFY(!banner->isVisible());
        host.reportPath(NativePath::Status::unsatisfied);
        QVERIFY(banner->isVisible());
        QCOMPARE(announced.size(), 2);
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(banner);
        QCOMPARE(accessible->role(), QAccessible::AlertMessage);
        QCOMPARE(accessible->text(QAccessible::Name), message);
        QCOMPARE(accessible->childCount(), 0);
    }

    void bannerOpenedWhileOfflineStaysQuiet() {
        Host host;
        host.reportPath(NativePath::Status::unsatisfied);
        NativeOfflineBanner *banner = host.banner(origin);
        QSignalSpy announced(banner, &NativeOfflineBanner::announced);
        host.window.show();
        QVERIFY(banner->isVisible());
        host.connectivity->record(NativeTransportOutcome::offline(UrlErrorCode::timedOut), origin);
        QCOMPARE(announced.size(), 0);
    }

    // While the browser approval runs the form shows the code, the link to copy and "Open again";
    // "Cancel" returns to the form without an error; a refusal shows its message.
    void signInFormWaitsWithTheLinkAndFallsBack() {
        ConnectionFixture fixture;
        fixture.scripted.handler =
            approvingServer(token('i'), NativeSession{"larkspan_session", token('s')}, 1000);
        NativeConnection::Services services = fixture.services();
        services.clock = std::make_shared<NativeFakeClock>(); // the approval never arrives
        const auto connection = NativeConnection::create(QString::fromLatin1(ConnectionFixture::server),
                                                         QString::fromLatin1(ConnectionFixture::scheme),
                                                         fixture.settings, fixture.connectivity, services);
        NativeSignInView view(QStringLiteral("Brevane Tabrel"), QStringLiteral("x-office-spreadsheet"),
                              connection);
        view.show();
        QCOMPARE(view.serverField()->text(), QString::fromLatin1(ConnectionFixture::server));
        QTest::keyClicks(view.accountNameField(), QStringLiteral("Work"));
        QCOMPARE(connection->accountName(), QStringLiteral("Work"));
        QTest::keyClick(view.accountNameField(), Qt::Key_Return);
        QTRY_VERIFY(view.showsWaiting() && !view.linkField()->text().isEmpty());
        QVERIFY(!view.signInButton()->isVisible() && !connection->code().isEmpty());
        QCOMPARE(view.codeLabel()->text(), connection->code());
        QCOMPARE(QUrl(view.linkField()->text()), *connection->browserURL());
        QVERIFY(view.linkField()->text().startsWith(QLatin1String(ConnectionFixture::server) +
                                                    QStringLiteral("/native/start?id=")));
        QVERIFY(view.openAgainButton()->isVisible() && view.openAgainButton()->isEnabled());
        QCOMPARE(fixture.browser.opened.size(), 1);
        view.cancelButton()->click();
        QVERIFY(!view.showsWaiting() && !view.errorLabel()->isVisible());
        connection->setError(QStringLiteral("Sign-in expired or was refused. Please try again."));
        QVERIFY(view.errorLabel()->isVisible());
        QCOMPARE(view.errorLabel()->text(), "Sign-in expired or was refused. Please try again.");
    }

    void accountsListShowsNameAndHost() {
        ConnectionFixture fixture;
        const QList<NativeAccount> stored = {
            NativeAccount::create(QUrl("https://sheets.example:8443"), "Work"),
            NativeAccount::create(QUrl("http://127.0.0.1:8080"), "Home")};
        NativeAccountSettings(fixture.settings)
            .updateAccounts([&](QList<NativeAccount> &list) { list = stored; }, {});
        const auto connection = fixture.make();
        NativeAccountsView view(QStringLiteral("Brevane Tabrel"), QStringLiteral("x-office-spreadsheet"),
                                connection);
        view.show();
        QStringList buttons;
        for (const auto *button : view.accountButtons())
            buttons << button->text();
        QCOMPARE(buttons, (QStringList{"Work\nsheets.example", "Home\n127.0.0.1"}));
        QVERIFY(!view.signInView());
        connection->setAccountName(QStringLiteral("stale"));
        view.addButton()->click();
        QVERIFY(view.adding() && view.signInView());
        QCOMPARE(connection->accountName(), QString());
        // With no account at all, the form is there at once.
        ConnectionFixture empty;
        NativeAccountsView first(QStringLiteral("Brevane Tabrel"), QStringLiteral("x-office-spreadsheet"),
                                 empty.make());
        first.show();
        QVERIFY(first.signInView() && !first.addButton()->isVisible());
    }

    // Each setting gives its scheme, and "auto" gives the desktop's back after a forced one.
    void appearanceSetting() {
        QWidget window;
        QList<bool> dark;
        for (const char *setting : {"dark", "auto", "dark", "light", "dark", "anything"}) {
            applyTabrelAppearance(&window, QString::fromLatin1(setting));
            dark << tabrelIsDark(&window);
        }
        QCOMPARE(dark, (QList<bool>{true, false, true, false, true, false}));
        QCOMPARE(window.palette(), QPalette());
    }

    // Without an icon theme each icon looks exactly as the style's own, at every size and mode,
    // including those decoded only when first painted.
    void fallbackIconsLookAsTheStyles() {
        if (!QIcon::fromTheme(QStringLiteral("list-add")).isNull())
            QSKIP("an icon theme is installed");
        const auto image = [](const QPixmap &pixmap) {
            return pixmap.toImage().convertToFormat(QImage::Format_ARGB32);
        };
        const auto painted = [](const QIcon &icon, QIcon::Mode mode) {
            QImage canvas(20, 20, QImage::Format_ARGB32);
            canvas.fill(Qt::transparent);
            QPainter painter(&canvas);
            icon.paint(&painter, QRect(2, 2, 16, 16), Qt::AlignCenter, mode);
            return canvas;
        };
        for (const auto &[name, kind] : {std::pair("list-add", QStyle::SP_FileDialogNewFolder),
                                         {"document-open-recent", QStyle::SP_FileDialogContentsView},
                                         {"x-office-spreadsheet", QStyle::SP_FileDialogDetailedView},
                                         {"view-refresh", QStyle::SP_BrowserReload},
                                         {"go-home", QStyle::SP_DirHomeIcon}}) {
            const QIcon icon = nativeIcon(QString::fromLatin1(name));
            const QIcon style = QApplication::style()->standardIcon(kind);
            QVERIFY(!icon.isNull());
            for (const int extent : {16, 24, 32, 48}) {
                for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled, QIcon::Selected}) {
                    QCOMPARE(icon.actualSize(QSize(extent, extent), mode),
                             style.actualSize(QSize(extent, extent), mode));
                    QCOMPARE(image(icon.pixmap(extent, mode)), image(style.pixmap(extent, mode)));
                }
                QCOMPARE(image(icon.pixmap(extent, QIcon::Normal, QIcon::On)),
                         image(style.pixmap(extent, QIcon::Normal, QIcon::On)));
            }
            for (const QIcon::Mode mode : {QIcon::Normal, QIcon::Disabled})
                QCOMPARE(painted(icon, mode), painted(style, mode));
            QCOMPARE(icon.availableSizes(), style.availableSizes());
        }
    }
};

QTEST_MAIN(TestNativeViews)
#include "tst_NativeViews.moc"
