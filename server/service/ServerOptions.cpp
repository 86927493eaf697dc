#include "service/ServerOptions.h"

#include <algorithm>
#include <charconv>
#include <iterator>

namespace {

bool number(const std::string &text, int low, int high, int &out) {
    int value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || result.ec != std::errc() || result.ptr != text.data() + text.size() || value < low ||
        value > high)
        return false;
    out = value;
    return true;
}

// "127.0.0.1:8080", "localhost:0" or "[::1]:8080".
bool splitListen(const std::string &text, std::string &host, int &port) {
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon == 0)
        return false;
    std::string name = text.substr(0, colon);
    if (name.front() == '[') {
        if (name.back() != ']')
            return false;
        name = name.substr(1, name.size() - 2);
    }
    if (name.empty() || !number(text.substr(colon + 1), 0, 65535, port))
        return false;
    host = name;
    return true;
}

// The options that take a whole number within bounds, and what they are said to take when the
// number is missing or out of bounds.
struct NumberOption {
    const char *flag;
    int low;
    int high;
    int ServerOptions::*field;
    const char *takes;
};
constexpr int gibibyte = 1024 * 1024 * 1024;
constexpr NumberOption numberOptions[] = {
    {"--port", 0, 65535, &ServerOptions::port, "a number from 0 to 65535"},
    {"--idle-timeout", 1, 7 * 24 * 3600, &ServerOptions::idleSeconds, "a number of seconds"},
    {"--keep-alive", 1, 3600, &ServerOptions::keepAliveSeconds, "a number of seconds"},
    {"--signin-expiry", 1, 24 * 3600, &ServerOptions::signInExpirySeconds, "a number of seconds"},
    {"--signin-delay-ms", 1, 3600 * 1000, &ServerOptions::signInDelayMillis, "a number of milliseconds"},
    {"--connections-per-address", 1, 100000, &ServerOptions::connectionsPerAddress, "a number"},
    {"--request-deadline-ms", 100, 3600 * 1000, &ServerOptions::requestDeadlineMillis,
     "a number of milliseconds"},
    {"--max-unpacked-bytes", 1024, gibibyte, &ServerOptions::maxUnpackedBytes, "a number of bytes"},
    {"--stream-queue-bytes", 1024, gibibyte, &ServerOptions::streamQueueBytes, "a number of bytes"},
    {"--signin-lockout", 4, 1000, &ServerOptions::signInLockoutFailures,
     "a number of wrong passwords, at least 4"},
    {"--streams-per-account", 1, 10000, &ServerOptions::streamsPerAccount, "a number"},
};

// Nothing when the flag is not a content limit; false when its value is not a positive number.
std::optional<bool> contentLimit(const std::string &flag, const std::string &text, ContentLimits &limits) {
    const std::pair<const char *, std::int64_t *> flags[] = {
        {"--max-chain", &limits.maxChainDepth},
        {"--calculation-ms", &limits.calculationMillis},
        {"--max-sheet-cells", &limits.maxCellsPerSheet},
        {"--max-sheets", &limits.maxSheetsPerAccount},
    };
    std::int64_t value = 0;
    const auto result = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool valid =
        !text.empty() && result.ec == std::errc() && result.ptr == text.data() + text.size() && value >= 1;
    for (const auto &[name, target] : flags) {
        if (flag == name) {
            if (valid)
                *target = value;
            return valid;
        }
    }
    if (flag == "--calculation-cells") {
        if (valid)
            limits.calculationCells = static_cast<std::uint64_t>(value);
        return valid;
    }
    return std::nullopt;
}

} // namespace

const char *ServerOptions::usage() {
    return "usage: tabrel-server --data DIR [--listen ADDR:PORT] [--port PORT] [--demo]\n"
           "                     [--tls-cert FILE --tls-key FILE] [--origin URL]\n"
           "                     [--idle-timeout SECONDS] [--keep-alive SECONDS] [--formula-memory MIB]\n"
           "       tabrel-server add-user EMAIL NAME --data DIR   (password read from standard input)\n"
           "       tabrel-server unlock EMAIL --data DIR          (after too many wrong passwords)\n"
           "       tabrel-server backup --data DIR FILE           (a consistent copy, while serving)\n"
           "       tabrel-server --help | --version\n"
           "\n"
           "The reference server of Brevane Tabrel: people sign in from the application through their\n"
           "browser and work on shared spreadsheets. Serves on 127.0.0.1:8080 by default; port 0 picks\n"
           "a free port. With --demo, the first start creates a demo account and sheets. --origin names\n"
           "the public origin when the server is reached through another address than the one it\n"
           "listens on. Each request is logged as one line on standard error. --formula-memory bounds\n"
           "what the calculation models of open sheets hold (512 MiB by default): those of sheets\n"
           "nobody touched recently are dropped and rebuilt when next needed.\n";
}

const char *ServerOptions::version() {
    return "tabrel-server " TABREL_SERVER_VERSION "\n";
}

std::optional<std::string> ServerOptions::parse(const std::vector<std::string> &args,
                                                ServerOptions &options) {
    std::size_t i = 0;
    std::vector<std::string> positional;
    if (!args.empty() && args[0] == "add-user") {
        options.command = Command::AddUser;
        i = 1;
    } else if (!args.empty() && args[0] == "unlock") {
        options.command = Command::Unlock;
        i = 1;
    } else if (!args.empty() && args[0] == "backup") {
        options.command = Command::Backup;
        i = 1;
    }
    // An option's value is never another option: "--data --demo" lacks its folder rather than
    // naming one "--demo".
    auto value = [&]() -> std::optional<std::string> {
        if (i + 1 >= args.size() || args[i + 1].starts_with("--"))
            return std::nullopt;
        return args[++i];
    };
    struct MissingValue {};
    for (; i < args.size(); ++i) {
        const std::string &arg = args[i];
        if (arg == "--help" || arg == "-h") {
            options.command = Command::Help;
            return std::nullopt;
        }
        if (arg == "--version") {
            options.command = Command::Version;
            return std::nullopt;
        }
        if (arg == "--demo") {
            options.demo = true;
            continue;
        }
        if (!arg.starts_with("--")) {
            positional.push_back(arg);
            continue;
        }
        const auto given = value();
        // Asked for by the options that take a value, so that an unknown one is named as such.
        const auto text = [&]() -> const std::string & {
            if (!given)
                throw MissingValue{};
            return *given;
        };
        const auto numeric = std::find_if(std::begin(numberOptions), std::end(numberOptions),
                                          [&](const NumberOption &option) { return arg == option.flag; });
        try {
            if (numeric != std::end(numberOptions)) {
                if (!number(text(), numeric->low, numeric->high, options.*(numeric->field)))
                    return arg + " takes " + numeric->takes;
            } else if (arg == "--data") {
                options.dataDir = text();
            } else if (arg == "--listen") {
                if (!splitListen(text(), options.host, options.port))
                    return "--listen takes ADDRESS:PORT, for example 127.0.0.1:8080";
            } else if (arg == "--tls-cert") {
                options.tlsCertificate = text();
            } else if (arg == "--tls-key") {
                options.tlsKey = text();
            } else if (arg == "--origin") {
                options.publicOrigin = text();
            } else if (arg == "--max-body-bytes") {
                int bytes = 0;
                if (!number(text(), 1024, gibibyte, bytes))
                    return "--max-body-bytes takes a number of bytes";
                options.maxBodyBytes = static_cast<std::size_t>(bytes);
            } else if (arg == "--formula-memory") {
                int mebibytes = 0;
                if (!number(text(), 1, 1024 * 1024, mebibytes))
                    return "--formula-memory takes a number of MiB";
                options.limits.formulaMemoryBytes = std::int64_t(mebibytes) * 1024 * 1024;
            } else if (const auto limit = contentLimit(arg, given.value_or(""), options.limits)) {
                if (!*limit)
                    return arg + " takes a whole number of at least 1";
            } else {
                return "unknown option " + arg;
            }
        } catch (const MissingValue &) {
            return arg + " needs a value";
        }
    }
    if (options.dataDir.empty())
        return "--data DIR is required";
    if (options.tlsCertificate.empty() != options.tlsKey.empty())
        return "--tls-cert and --tls-key go together";
    if (options.command == Command::AddUser) {
        if (positional.size() != 2)
            return "add-user takes EMAIL and NAME";
        options.email = positional[0];
        options.name = positional[1];
    } else if (options.command == Command::Unlock) {
        if (positional.size() != 1)
            return "unlock takes EMAIL";
        options.email = positional[0];
    } else if (options.command == Command::Backup) {
        if (positional.size() != 1)
            return "backup takes the FILE to write";
        options.backupFile = positional[0];
    } else if (!positional.empty()) {
        return "unexpected argument " + positional[0];
    }
    return std::nullopt;
}
