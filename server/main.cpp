// tabrel-server: the reference server of Brevane Tabrel.

#include "http/EventHub.h"
#include "panels/Comments.h"
#include "panels/PanelRoutes.h"
#include "panels/Sharing.h"
#include "panels/SharingRoutes.h"
#include "panels/TableView.h"
#include "service/DemoData.h"
#include "service/HttpApi.h"
#include "service/ServerOptions.h"
#include "sheets/EditHistory.h"
#include "sheets/GridJson.h"
#include "sheets/GridStore.h"
#include "sheets/GridWriter.h"
#include "sheets/SheetAccess.h"
#include "sheets/SheetRoutes.h"
#include "sheets/SheetStore.h"
#include "signin/Accounts.h"
#include "signin/SessionGate.h"
#include "signin/SignIn.h"
#include "signin/SignInRoutes.h"
#include "signin/SignInThrottle.h"
#include "storage/Backup.h"
#include "storage/DataFolder.h"
#include "storage/DataLock.h"
#include "storage/Database.h"
#include "workbooks/ImportJobs.h"
#include "workbooks/WorkbookRoutes.h"

#include <sodium.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <pthread.h>
#include <sys/stat.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

std::string readPassword() {
    const bool terminal = ::isatty(STDIN_FILENO) != 0;
    termios saved{};
    if (terminal) {
        std::cerr << "Password: " << std::flush;
        ::tcgetattr(STDIN_FILENO, &saved);
        termios quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        ::tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    std::string password;
    std::getline(std::cin, password);
    if (terminal) {
        ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        std::cerr << '\n';
    }
    if (!password.empty() && password.back() == '\r')
        password.pop_back();
    return password;
}

int addUser(const ServerOptions &options) {
    Database db(options.dataDir + "/tabrel.db");
    Accounts accounts(db);
    try {
        const auto account = accounts.create(options.email, options.name, readPassword());
        // Sheets shared with the address before it had an account are now the account's to open.
        Sharing::welcome(db, account);
        std::cout << "added " << account.email << " (" << account.name << ")" << std::endl;
        return 0;
    } catch (const Accounts::Refused &refused) {
        std::cerr << "tabrel-server: " << refused.what() << std::endl;
        return 1;
    }
}

SignInThrottle::Options throttleOptions(const ServerOptions &options) {
    SignInThrottle::Options throttle;
    throttle.firstDelayMillis = options.signInDelayMillis;
    throttle.lockoutFailures = options.signInLockoutFailures;
    return throttle;
}

int unlock(const ServerOptions &options) {
    Database db(options.dataDir + "/tabrel.db");
    SignInThrottle throttle(db, throttleOptions(options));
    if (throttle.unlock(options.email))
        std::cout << "unlocked " << options.email << std::endl;
    else
        std::cout << options.email << " was not locked" << std::endl;
    return 0;
}

int backup(const ServerOptions &options) {
    // The copy holds every account's sheets and sessions: only this user may read it.
    ::umask(S_IRWXG | S_IRWXO);
    if (const auto failure = Backup::copy(options.dataDir + "/tabrel.db", options.backupFile)) {
        std::cerr << "tabrel-server: backup failed: " << *failure << ". Nothing was changed." << std::endl;
        return 1;
    }
    std::cout << "backed up " << options.dataDir << " to " << options.backupFile << std::endl;
    return 0;
}

int serve(const ServerOptions &options, sigset_t signals) {
    Database db(options.dataDir + "/tabrel.db");
    Accounts accounts(db);
    SignIn signIn(db, accounts, options.signInExpirySeconds * 1000LL, throttleOptions(options));
    GridStore grid(db);
    SheetStore sheets(db, grid, options.limits.maxSheetsPerAccount);
    EventHub hub(EventHub::Options{std::chrono::seconds(options.keepAliveSeconds),
                                   std::chrono::seconds(options.idleSeconds),
                                   static_cast<std::size_t>(options.streamQueueBytes),
                                   static_cast<std::size_t>(options.streamsPerAccount)});
    GridWriter writer(db, grid, [&hub](std::int64_t tabId, const GridChange &change) {
        hub.publish(tabId, change.version, [&change] {
            const std::string data =
                GridJson::response(change).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
            return EventHub::event(change.tooLarge() ? "resync" : "cells", data);
        });
    });
    writer.setLimits(options.limits);
    const bool https = !options.tlsCertificate.empty();
    SessionGate gate(accounts, hub, https);
    SignInRoutes signInRoutes(signIn, accounts, gate, hub);
    SheetRoutes sheetRoutes(gate, sheets, writer, hub);
    std::optional<HttpApi::Tls> tls;
    if (https)
        tls = HttpApi::Tls{options.tlsCertificate, options.tlsKey};
    BodyPolicy::Limits bodies;
    bodies.maxBodyBytes = options.maxBodyBytes;
    ConnectionServer::Limits connections;
    connections.connectionsPerAddress = static_cast<std::size_t>(options.connectionsPerAddress);
    connections.headDeadline = std::chrono::milliseconds(options.requestDeadlineMillis);
    HttpApi api(tls, bodies, connections, gate, signInRoutes, sheetRoutes);
    if (!api.valid()) {
        std::cerr << "tabrel-server: cannot use the TLS certificate or key" << std::endl;
        return 1;
    }
    SheetAccess access(gate, sheets);
    TableView table(db);
    EditHistory history(db);
    Comments comments(db);
    PanelRoutes panelRoutes(access, sheets, writer, table, history, comments);
    api.mount(panelRoutes);
    Sharing sharing(db, sheets);
    SharingRoutes sharingRoutes(access, sharing, accounts, hub);
    api.mount(sharingRoutes);
    // Exports are written in a folder of the server's own before they are sent.
    const std::string scratch = options.dataDir + "/scratch";
    std::filesystem::create_directories(scratch);
    ArchiveLimits::Limits unpacked;
    if (options.maxUnpackedBytes > 0) {
        unpacked.maxTotalBytes = static_cast<std::uint64_t>(options.maxUnpackedBytes);
        unpacked.maxPartBytes = unpacked.maxTotalBytes / 2;
    }
    ImportJobs imports(db, sheets, grid, writer, unpacked);
    WorkbookRoutes workbookRoutes(access, db, grid, imports, scratch);
    api.mount(workbookRoutes);

    std::string demoPassword;
    if (options.demo)
        demoPassword = DemoData(db, accounts, sheets, writer, options.dataDir).ensure();

    const int port = api.bind(options.host, options.port);
    if (port < 0) {
        const int error = errno;
        std::cerr << "tabrel-server: cannot listen on " << options.host << ":" << options.port
                  << (error == EADDRINUSE ? ": the port is in use, perhaps by another server"
                      : error != 0        ? std::string(": ") + std::strerror(error)
                                          : std::string())
                  << std::endl;
        return 1;
    }
    const bool anyAddress = options.host == "0.0.0.0" || options.host == "::";
    if (anyAddress && options.publicOrigin.empty()) {
        std::cerr << "tabrel-server: listening on all addresses needs --origin with the public address"
                  << std::endl;
        return 1;
    }
    OriginPolicy origin(https ? "https" : "http", options.host, port, options.publicOrigin);
    api.setOriginPolicy(origin);
    sharingRoutes.setOrigin(origin.origin());
    std::cout << "listening on " << origin.origin() << std::endl;
    if (options.demo) {
        std::cout << "demo account: " << DemoData::email << " password: "
                  << (demoPassword.empty() ? "(unknown: demo-password file is missing)" : demoPassword)
                  << std::endl;
    }

    std::thread stopper([&] {
        int received = 0;
        sigwait(&signals, &received);
        hub.shutdown();
        api.stop();
    });
    const bool served = api.serve();
    // When serving ended by itself, wake the waiting thread the same way a signal would.
    ::kill(::getpid(), SIGTERM);
    stopper.join();
    std::cout << "tabrel-server stopped" << std::endl;
    return served ? 0 : 1;
}

} // namespace

int main(int argc, char **argv) {
    // Signals are taken by one thread with sigwait; every thread started later inherits the mask.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    // A watcher that went away must not kill the server on the next write.
    std::signal(SIGPIPE, SIG_IGN);

    ServerOptions options;
    const std::vector<std::string> args(argv + 1, argv + argc);
    if (const auto error = ServerOptions::parse(args, options)) {
        std::cerr << "tabrel-server: " << *error << "\n" << ServerOptions::usage();
        return 2;
    }
    if (options.command == ServerOptions::Command::Help) {
        std::cout << ServerOptions::usage();
        return 0;
    }
    if (options.command == ServerOptions::Command::Version) {
        std::cout << ServerOptions::version();
        return 0;
    }
    if (options.command == ServerOptions::Command::Backup)
        return backup(options);
    if (sodium_init() < 0) {
        std::cerr << "tabrel-server: libsodium could not start" << std::endl;
        return 1;
    }
    if (const auto error = DataFolder::prepare(options.dataDir)) {
        std::cerr << "tabrel-server: " << *error << std::endl;
        return 1;
    }
    try {
        // Adding an account is one SQLite transaction, safe beside a running server; only a second
        // server on the same folder is kept away.
        if (options.command == ServerOptions::Command::AddUser)
            return addUser(options);
        if (options.command == ServerOptions::Command::Unlock)
            return unlock(options);
        DataLock lock(options.dataDir);
        if (!lock.locked()) {
            std::cerr << "tabrel-server: " << lock.error() << std::endl;
            return 1;
        }
        return serve(options, signals);
    } catch (const std::exception &failure) {
        std::cerr << "tabrel-server: " << failure.what() << std::endl;
        return 1;
    }
}
