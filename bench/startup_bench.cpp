// Start-up: from starting a process to the Home window painted with the account's sheet list loaded
// from tabrel-server on loopback, against the floor of the same build starting a process that shows
// and paints one bare Qt Widgets window. Each is started 7 times, alternating; the medians are
// printed with their ratio (goal: at most 2).
//
// The account's session lives in the secret store, so the program runs itself inside a private
// D-Bus session with gnome-keyring (tests/accounts/run-with-keyring.sh) unless already there.

#include "E2eAccount.h"
#include "TaskRunner.h"

#include "app/TabrelAccountWindow.h"
#include "app/TabrelApp.h"
#include "app/TabrelHomeWindow.h"
#include "app/TabrelWorkspace.h"
#include "connection/NativeAccountSettings.h"
#include "connection/NativeCredentials.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QProcess>
#include <QTemporaryDir>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <functional>
#include <vector>

namespace {
constexpr int runs = 7;

// Says "ready" at the first paint of the watched widget that `counts` accepts, then leaves.
class PaintProbe : public QObject {
public:
    std::function<bool()> counts = [] { return true; };

    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::Paint && !m_done && counts()) {
            m_done = true;
            std::puts("ready");
            std::fflush(stdout);
            QTimer::singleShot(0, qApp, [] { QCoreApplication::exit(0); });
        }
        return false;
    }

private:
    bool m_done = false;
};

int bareWindow(int argc, char **argv) {
    QApplication application(argc, argv);
    QWidget window;
    PaintProbe probe;
    window.installEventFilter(&probe);
    window.resize(1000, 760);
    window.show();
    return QApplication::exec();
}

int homeWindow(int argc, char **argv, const QString &settingsPath, const QString &origin) {
    QApplication application(argc, argv);
    TabrelApp::Options options;
    options.defaultServer = origin;
    options.settings = std::make_shared<QSettings>(settingsPath, QSettings::IniFormat);
    options.services.openBrowser = [](QUrl) -> QCoro::Task<bool> { co_return false; };
    TabrelApp app(std::move(options));
    app.start();
    PaintProbe probe;
    // Measured: the first paint of the card list that shows cards. Should they be painted before the
    // probe is in place, one more paint is asked for.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        TabrelWorkspace *home = app.home()->accountWindow()->workspace();
        if (!home)
            return;
        watch.stop();
        QListWidget *cards = home->cards();
        probe.counts = [cards] { return cards->count() > 0; };
        cards->viewport()->installEventFilter(&probe);
        if (cards->count() > 0)
            cards->viewport()->update();
    });
    watch.start(1); // polling at once would take a core from the server on a small machine
    return QApplication::exec();
}

// Milliseconds from starting the child to its "ready".
double measure(const QStringList &arguments) {
    QProcess child;
    QElapsedTimer timer;
    timer.start();
    child.start(QCoreApplication::applicationFilePath(), arguments);
    while (child.waitForReadyRead(60000)) {
        if (child.readAllStandardOutput().contains("ready"))
            break;
    }
    const double elapsed = double(timer.nsecsElapsed()) / 1e6;
    if (!child.waitForFinished(30000))
        child.kill();
    return elapsed;
}

double median(std::vector<double> samples) {
    std::sort(samples.begin(), samples.end());
    return samples[samples.size() / 2];
}

int parent(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    E2eAccount account;
    if (!account.ok()) {
        std::fprintf(stderr, "startup_bench: %s\n", qPrintable(account.error()));
        return 1;
    }
    for (int i = 0; i < 20; ++i)
        account.createSheet();
    QTemporaryDir folder;
    const QString settingsPath = folder.filePath(QStringLiteral("settings.ini"));
    auto settings = std::make_shared<QSettings>(settingsPath, QSettings::IniFormat);
    const NativeAccount stored = NativeAccount::create(account.origin(), QStringLiteral("Bench"));
    NativeAccountSettings(settings).updateAccounts([&](QList<NativeAccount> &list) { list = {stored}; }, {});
    NativeAccountSettings(settings).setActiveAccount(stored.id);
    settings->sync();
    const ServerSession &session = account.session();
    runTask(NativeCredentials::save(
        NativeSession{QString::fromStdString(session.name), QString::fromStdString(session.value)},
        stored.key(), stored.name));

    std::vector<double> bare, home;
    for (int i = 0; i < runs; ++i) {
        bare.push_back(measure({QStringLiteral("--bare")}));
        home.push_back(measure({QStringLiteral("--home"), settingsPath, account.origin().toString()}));
    }
    const double floor = median(bare);
    const double measured = median(home);
    std::printf("bare Qt Widgets window painted: median %.1f ms (best %.1f)\n", floor,
                *std::min_element(bare.begin(), bare.end()));
    std::printf("Home painted with %lld sheets listed: median %.1f ms (best %.1f)\n", 20LL, measured,
                *std::min_element(home.begin(), home.end()));
    std::printf("ratio Home / bare window: %.2f (goal <= 2)\n", measured / floor);
    return 0;
}
} // namespace

int main(int argc, char **argv) {
    const QString mode = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (mode == QLatin1String("--bare"))
        return bareWindow(argc, argv);
    if (mode == QLatin1String("--home") && argc > 3)
        return homeWindow(argc, argv, QString::fromLocal8Bit(argv[2]), QString::fromLocal8Bit(argv[3]));
    if (qEnvironmentVariableIsEmpty("TABREL_BENCH_KEYRING")) {
        qputenv("TABREL_BENCH_KEYRING", "1");
        if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") && qEnvironmentVariableIsEmpty("DISPLAY"))
            qputenv("QT_QPA_PLATFORM", "offscreen");
        QCoreApplication application(argc, argv);
        return QProcess::execute(QStringLiteral("sh"),
                                 {QStringLiteral(TABREL_SOURCE_DIR "/tests/accounts/run-with-keyring.sh"),
                                  QCoreApplication::applicationFilePath()});
    }
    return parent(argc, argv);
}
