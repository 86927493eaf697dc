#pragma once

#include "base/ContentLimits.h"

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

// The command line: serving (--listen, --data, --demo, TLS, timeouts), or the add-user, unlock and
// backup commands.
struct ServerOptions {
    enum class Command { Serve, AddUser, Unlock, Backup, Help, Version };

    Command command = Command::Serve;
    std::string host = "127.0.0.1";
    int port = 8080;
    std::string dataDir;
    bool demo = false;
    std::string tlsCertificate;
    std::string tlsKey;
    std::string publicOrigin;
    int idleSeconds = 30 * 60;
    int keepAliveSeconds = 15;
    // Hidden, for tests: how long a sign-in request stays usable.
    int signInExpirySeconds = 300;
    // What content may hold and cost: --max-chain, --calculation-cells, --calculation-ms,
    // --max-sheet-cells, --max-sheets, --formula-memory (MiB held by all formula models).
    ContentLimits limits;
    // Hidden, for tests: lower limits than a real server needs.
    std::size_t maxBodyBytes = 64 * 1024 * 1024;
    int signInDelayMillis = 1000;
    int signInLockoutFailures = 10;
    int streamsPerAccount = 16;
    int streamQueueBytes = 4 * 1024 * 1024;
    int connectionsPerAddress = 64;
    int requestDeadlineMillis = 20000;
    int maxUnpackedBytes = 0; // 0: the import's own limits
    std::string email;        // add-user, unlock
    std::string name;         // add-user
    std::string backupFile;   // backup

    // Fills the options or returns a message explaining what is wrong.
    static std::optional<std::string> parse(const std::vector<std::string> &args, ServerOptions &options);
    static const char *usage();
    static const char *version();
};
