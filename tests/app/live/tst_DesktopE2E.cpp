#include "BrowserDriver.h"
#include "E2eAccount.h"
#include "TaskRunner.h"
#include "XwdImage.h"

#include "connection/NativeSignInCallbackRelay.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

namespace {
const QString sheetTitle = QStringLiteral("Field notes");

// A child process that is stopped when the test ends, however it ends.
struct Child {
    QProcess process;
    ~Child() {
        if (process.state() != QProcess::NotRunning) {
            process.terminate();
            if (!process.waitForFinished(5000))
                process.kill();
            process.waitForFinished(5000);
        }
    }
};
} // namespace

// A person's first session: start the application, sign in through the browser, open a sheet from
// Home, type a value, close the window; the server holds the value.
class TestDesktopE2E : public QObject {
    Q_OBJECT

    QTemporaryDir dir;
    QString display;

    QProcessEnvironment onDisplay() const {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), display);
        return environment;
    }
    QString xdo(const QStringList &arguments, int *status = nullptr) {
        QProcess xdotool;
        xdotool.setProcessEnvironment(onDisplay());
        xdotool.start(QStringLiteral("xdotool"), arguments);
        xdotool.waitForFinished(30000);
        if (status)
            *status = xdotool.exitCode();
        return QString::fromUtf8(xdotool.readAllStandardOutput()).trimmed();
    }
    QString window(const QString &title) {
        int status = 0;
        const QString found =
            xdo({"search", "--name", "^" + QRegularExpression::escape(title) + "$"}, &status);
        return status == 0 ? found.section(u'\n', 0, 0) : QString();
    }
    // Screenshots of what a person sees, kept as test artefacts for review.
    void screenshot(const QString &name) {
        QDir().mkpath(QStringLiteral(TABREL_ARTEFACT_DIR));
        const QImage image = readXwdScreen(dir.filePath(QStringLiteral("Xvfb_screen0")));
        QVERIFY2(!image.isNull(), "no screen dump from Xvfb");
        QVERIFY(image.save(QStringLiteral(TABREL_ARTEFACT_DIR) + u'/' + name));
    }

private Q_SLOTS:
    void signInOpenEditAndClose() {
        for (const char *tool : {"Xvfb", "xdotool", "chromium", "chromedriver"})
            if (QStandardPaths::findExecutable(QString::fromLatin1(tool)).isEmpty())
                QSKIP(qPrintable(
                    QStringLiteral("%1 is not installed (scripts/bootstrap installs it)").arg(tool)));
        E2eAccount account;
        QVERIFY2(account.ok(), qPrintable(account.error()));
        const auto created = account.createSheet(sheetTitle);
        QVERIFY(created);
        // The display. Xvfb picks a free number and writes it once it accepts clients: a socket
        // left behind by an earlier server cannot pass for a ready one.
        Child xvfb;
        xvfb.process.start(QStringLiteral("Xvfb"), {"-displayfd", "1", "-screen", "0", "1280x900x24",
                                                    "-fbdir", dir.path(), "-nolisten", "tcp"});
        QDeadlineTimer ready(20000);
        while (!xvfb.process.canReadLine() && !ready.hasExpired())
            xvfb.process.waitForReadyRead(200);
        QVERIFY2(xvfb.process.canReadLine(), "Xvfb did not start");
        display = u':' + QString::fromLatin1(xvfb.process.readLine()).trimmed();
        // Under load the first client can still be turned away for a moment: wait until one gets in.
        int answered = 1;
        QTRY_VERIFY_WITH_TIMEOUT((xdo({"getdisplaygeometry"}, &answered), answered == 0), 20000);
        // The system's URL opener is the person's browser: it writes down what it was given.
        QDir(dir.path()).mkpath(QStringLiteral("bin"));
        const QString opened = dir.filePath(QStringLiteral("opened.txt"));
        QFile opener(dir.filePath(QStringLiteral("bin/xdg-open")));
        QVERIFY(opener.open(QIODevice::WriteOnly));
        opener.write("#!/bin/sh\nprintf '%s\\n' \"$1\" >> '" + opened.toUtf8() + "'\n");
        opener.close();
        opener.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        BrowserDriver browser;
        QVERIFY2(browser.start(), browser.error().c_str());
        Child app;
        QProcessEnvironment environment = onDisplay();
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.insert(QStringLiteral("PATH"),
                           dir.filePath(QStringLiteral("bin")) + u':' + environment.value("PATH"));
        environment.insert(QStringLiteral("TABREL_DEFAULT_SERVER"), account.origin().toString());
        app.process.setProcessEnvironment(environment);
        app.process.setProcessChannelMode(QProcess::ForwardedChannels);
        app.process.start(QStringLiteral(TABREL_APP_BINARY), {});
        QVERIFY(app.process.waitForStarted());
        // Home shows the sign-in form with the server filled in: Return signs in.
        QString home;
        QTRY_VERIFY_WITH_TIMEOUT(!(home = window(QStringLiteral("Home"))).isEmpty(), 30000);
        QTest::qWait(500);
        screenshot(QStringLiteral("signin.png"));
        xdo({"windowfocus", "--sync", home});
        xdo({"key", "Return"});
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(opened), 20000);
        QFile urls(opened);
        QVERIFY(urls.open(QIODevice::ReadOnly));
        const QByteArray page = urls.readLine().trimmed(); // the approval page
        QVERIFY2(page.startsWith(account.origin().toString().toUtf8() + "/native/start?id="),
                 page.constData());
        // The person approves in the browser.
        QVERIFY(browser.open(page.toStdString()));
        QVERIFY2(browser.type("#email", "e2e@example.com") &&
                     browser.type("#password", "a long enough password"),
                 "the approval page has no sign-in fields");
        QVERIFY(browser.click("button[value=approve]"));
        // Sign-in completes by polling; then Home lists the sheet. Find it by typing and open it.
        QString document;
        for (int attempt = 0; attempt < 60 && document.isEmpty(); ++attempt) {
            QTest::qWait(1000);
            xdo({"windowfocus", "--sync", home});
            xdo({"key", "ctrl+a"});
            xdo({"type", "field"});
            QTest::qWait(300);
            screenshot(QStringLiteral("home.png"));
            xdo({"key", "Return"});
            QTest::qWait(1000);
            document = window(sheetTitle);
        }
        const std::string approval = browser.text().substr(0, 400);
        QVERIFY2(!document.isEmpty(),
                 ("no document window opened from Home; the browser shows " + approval).c_str());
        xdo({"windowfocus", "--sync", document});
        xdo({"type", "42"});
        xdo({"key", "Return"});
        const auto stored = [&account, sheet = created->ID] { return account.serverRaw(sheet, 0, 0); };
        QTRY_COMPARE_WITH_TIMEOUT(stored(), QStringLiteral("42"), 20000);
        screenshot(QStringLiteral("sheet.png"));
        for (int attempt = 0; attempt < 20 && !window(sheetTitle).isEmpty(); ++attempt) {
            xdo({"windowfocus", "--sync", document});
            xdo({"key", "ctrl+w"});
            QTest::qWait(500);
        }
        QVERIFY2(window(sheetTitle).isEmpty(), "the document window did not close");
        QCOMPARE(stored(), QStringLiteral("42"));
        xdo({"windowfocus", "--sync", home});
        xdo({"key", "ctrl+q"});
        QVERIFY(app.process.waitForFinished(20000));
        QCOMPARE(app.process.exitCode(), 0);
    }

    // A second start hands the sign-in callback to the running instance and leaves; without one it
    // just leaves. Here the test is the running instance.
    void secondStartHandsTheCallbackOver() {
        QTemporaryDir runtime;
        QVERIFY(QFile::setPermissions(runtime.path(), QFileDevice::Permissions(0x7700)));
        const QByteArray saved = qgetenv("XDG_RUNTIME_DIR");
        qputenv("XDG_RUNTIME_DIR", QFile::encodeName(runtime.path()));
        NativeSignInCallbackRelay running(NativeSignInCallbackRelay::defaultName());
        qputenv("XDG_RUNTIME_DIR", saved);
        QVERIFY(running.listen());
        QSignalSpy received(&running, &NativeSignInCallbackRelay::urlReceived);
        const QUrl callback(QStringLiteral(TABREL_CALLBACK_SCHEME "://signin?code=abc&state=xyz"));
        for (const QStringList &arguments : {QStringList{callback.toString()}, QStringList{}}) {
            QProcess second;
            QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
            environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime.path());
            second.setProcessEnvironment(environment);
            second.start(QStringLiteral(TABREL_APP_BINARY), arguments);
            QVERIFY(second.waitForStarted());
            QTRY_VERIFY_WITH_TIMEOUT(second.state() == QProcess::NotRunning, 30000);
            QCOMPARE(second.exitCode(), 0);
        }
        QCOMPARE(received.size(), 1);
        QCOMPARE(received.first().first().toUrl(), callback);
    }
};

QTEST_GUILESS_MAIN(TestDesktopE2E)
#include "tst_DesktopE2E.moc"
