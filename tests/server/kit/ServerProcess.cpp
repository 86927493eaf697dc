#include "ServerProcess.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QRegularExpression>

#include <csignal>
#include <thread>

namespace {
constexpr int startLimitMs = 120000; // a sanitizer build populating demo data is slow
}

ServerProcess::ServerProcess(Options options) : m_options(std::move(options)) {
    if (m_options.dataDir.isEmpty()) {
        m_temporary = std::make_unique<QTemporaryDir>();
        m_dataDir = m_temporary->path();
    } else {
        m_dataDir = m_options.dataDir;
    }
}

ServerProcess::~ServerProcess() {
    if (running())
        stop();
}

QString ServerProcess::binary() const {
    if (!m_options.binary.isEmpty())
        return m_options.binary;
    const QString fromEnvironment = qEnvironmentVariable("TABREL_SERVER");
    if (!fromEnvironment.isEmpty())
        return fromEnvironment;
#ifdef TABREL_SERVER_BINARY
    return QStringLiteral(TABREL_SERVER_BINARY);
#else
    return QStringLiteral("tabrel-server");
#endif
}

QStringList ServerProcess::arguments() const {
    // A restart keeps the port, as a real server does, so that clients can reconnect.
    return QStringList{"--listen", QStringLiteral("127.0.0.1:%1").arg(m_port), "--data", m_dataDir} +
           m_options.extraArguments;
}

bool ServerProcess::running() const {
    return m_process && m_process->state() != QProcess::NotRunning;
}

bool ServerProcess::start() {
    m_error.clear();
    // The server's output goes to a file rather than a pipe: a test that makes many requests without
    // an event loop would never read a pipe, and once it filled, the server's next log line would
    // stall it.
    QFile::remove(logPath());
    m_process = std::make_unique<QProcess>();
    m_process->setStandardOutputFile(logPath(), QIODevice::Append);
    m_process->setStandardErrorFile(logPath(), QIODevice::Append);
    m_process->start(binary(), arguments());
    if (!m_process->waitForStarted(10000)) {
        m_error = "cannot start " + binary() + ": " + m_process->errorString();
        return false;
    }
    static const QRegularExpression listening(QStringLiteral("listening on (https?://[^\\s]+:(\\d+))"));
    QDeadlineTimer deadline(startLimitMs);
    while (!deadline.hasExpired()) {
        const bool exited = m_process->waitForFinished(20);
        const auto match = listening.match(output());
        if (match.hasMatch()) {
            m_origin = match.captured(1).toStdString();
            m_port = match.captured(2).toInt();
            return true;
        }
        if (exited || m_process->state() == QProcess::NotRunning) {
            m_error = "tabrel-server exited: " + output();
            return false;
        }
    }
    m_error = "tabrel-server did not start listening in time: " + output();
    m_process->kill();
    m_process->waitForFinished(5000);
    return false;
}

QString ServerProcess::logPath() const {
    return m_logFolder.filePath(QStringLiteral("server.log"));
}

QString ServerProcess::output() const {
    QFile log(logPath());
    return m_output + (log.open(QIODevice::ReadOnly) ? QString::fromUtf8(log.readAll()) : QString());
}

bool ServerProcess::stop() {
    if (!running())
        return true;
    ::kill(static_cast<pid_t>(m_process->processId()), SIGTERM);
    if (!m_process->waitForFinished(60000)) {
        m_error = "tabrel-server did not stop on SIGTERM";
        m_process->kill();
        m_process->waitForFinished(5000);
        return false;
    }
    const bool clean = m_process->exitStatus() == QProcess::NormalExit && m_process->exitCode() == 0;
    if (!clean)
        m_error = "tabrel-server exited with " + QString::number(m_process->exitCode()) + ": " + output();
    return clean;
}

void ServerProcess::kill() {
    if (!running())
        return;
    m_process->kill();
    m_process->waitForFinished(10000);
}

bool ServerProcess::addUser(const QString &email, const QString &name, const QString &password) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(binary(), {"add-user", email, name, "--data", m_dataDir});
    if (!process.waitForStarted(10000))
        return false;
    process.write(password.toUtf8() + "\n");
    process.closeWriteChannel();
    if (!process.waitForFinished(60000))
        return false;
    m_output += QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
}

int ServerProcess::run(const QStringList &arguments, QString *output,
                       const std::function<void()> &childSetup) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (childSetup)
        process.setChildProcessModifier(childSetup);
    process.start(binary(), arguments);
    if (!process.waitForStarted(10000) || !process.waitForFinished(120000))
        return -1;
    if (output)
        *output = QString::fromUtf8(process.readAll());
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

TestClient ServerProcess::client(const std::optional<ServerSession> &session) const {
    TestClient client(m_origin);
    client.setSession(session);
    return client;
}

std::string ServerProcess::base64url(const QByteArray &bytes) {
    return bytes.toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals).toStdString();
}

std::optional<ServerProcess::SignInRequest> ServerProcess::requestSignIn() {
    QByteArray random(32, '\0');
    QRandomGenerator::system()->fillRange(reinterpret_cast<quint32 *>(random.data()), 8);
    SignInRequest request;
    request.verifier = base64url(random);
    request.challenge = base64url(
        QCryptographicHash::hash(QByteArray::fromStdString(request.verifier), QCryptographicHash::Sha256));
    auto http = client();
    const auto answer =
        http.postJson("/native/request", {{"challenge", request.challenge}, {"callback", callback}});
    if (!answer || answer->status != 200)
        return std::nullopt;
    const auto body = TestClient::json(answer);
    if (!body.is_object() || !body.contains("id") || !body["id"].is_string())
        return std::nullopt;
    request.id = body["id"].get<std::string>();
    return request;
}

int ServerProcess::approve(const std::string &id, const std::string &email, const std::string &password,
                           std::string *location) {
    auto browser = client();
    const auto page = browser.get("/native/start?id=" + id);
    if (!page || page->status != 200)
        return page ? page->status : -1;
    const std::map<std::string, std::string> form = {
        {"id", id}, {"email", email}, {"password", password}, {"action", "approve"}};
    auto answer = browser.postForm("/native/start", form);
    // After wrong passwords the server asks to wait a moment; a person waits and tries again.
    for (int retry = 0; retry < 10 && answer && answer->status == 429 && answer->has_header("Retry-After");
         ++retry) {
        std::this_thread::sleep_for(std::chrono::seconds(std::stoi(answer->get_header_value("Retry-After"))));
        answer = browser.postForm("/native/start", form);
    }
    if (!answer)
        return -1;
    if (location)
        *location = answer->get_header_value("Location");
    return answer->status;
}

std::optional<ServerSession> ServerProcess::signIn(const std::string &email, const std::string &password) {
    const auto request = requestSignIn();
    if (!request || approve(request->id, email, password) != 303)
        return std::nullopt;
    auto http = client();
    const auto answer =
        http.postJson("/native/exchange", {{"id", request->id}, {"verifier", request->verifier}});
    if (!answer || answer->status != 200)
        return std::nullopt;
    const auto body = TestClient::json(answer);
    if (!body.is_object() || !body.contains("name") || !body.contains("value"))
        return std::nullopt;
    return ServerSession{body["name"].get<std::string>(), body["value"].get<std::string>()};
}
