#pragma once

// Short-hands the server tests share: answers' statuses and notices, the texts of a grid's cells,
// people signed in on a fresh server, uploads and the import jobs that follow them.

#include "EventStream.h"
#include "ServerProcess.h"
#include "SheetApi.h"

#include <QCryptographicHash>
#include <QFile>
#include <QTest>

#include <thread>

inline const std::string password = "correct horse battery";
inline int status(const httplib::Result &result) {
    return result ? result->status : -1;
}

// A text field of a JSON answer, or "<none>".
inline std::string field(const httplib::Result &result, const char *key) {
    const auto body = TestClient::json(result);
    return body.is_object() && body.contains(key) && body[key].is_string() ? body[key].get<std::string>()
                                                                           : std::string("<none>");
}

inline std::string notice(const httplib::Result &result) {
    return field(result, "notice");
}

// The status and notice of an answer, e.g. "200 renamed".
inline std::string answered(const httplib::Result &result) {
    return std::to_string(status(result)) + " " + notice(result);
}

// The data of the first event of that name on the stream, once it came, or "<none>".
inline std::string eventData(EventStream &stream, const std::string &name) {
    const auto event = stream.waitForEvent(name);
    return event ? event->data : "<none>";
}

// A text of the cell at (r, c) of a grid, or "<absent>".
inline std::string text(const nlohmann::json &grid, std::int64_t r, std::int64_t c, const char *key) {
    const auto cell = SheetApi::cell(grid, r, c);
    return cell.is_object() && cell.contains(key) ? cell[key].get<std::string>() : std::string("<absent>");
}

inline std::string raw(const nlohmann::json &grid, std::int64_t r, std::int64_t c) {
    return text(grid, r, c, "raw");
}
inline std::string display(const nlohmann::json &grid, std::int64_t r, std::int64_t c) {
    return text(grid, r, c, "display");
}

inline SheetRef newSheet(TestClient &http) {
    const auto sheet = SheetApi::create(http);
    if (!sheet)
        qFatal("could not create a sheet");
    return *sheet;
}

// Adds `name` ("ann": ann@example.com, called "Ann") to the server and signs them in.
inline std::optional<ServerSession> person(ServerProcess &server, const std::string &name) {
    const std::string email = name + "@example.com";
    QString called = QString::fromStdString(name);
    called[0] = called[0].toUpper();
    if (!server.addUser(QString::fromStdString(email), called, QString::fromStdString(password)))
        return std::nullopt;
    return server.signIn(email, password);
}

inline std::string fixture(const char *name) {
    QFile file(QFINDTESTDATA(QString("fixtures/") + name));
    if (!file.open(QIODevice::ReadOnly))
        qFatal("missing fixture %s", name);
    return file.readAll().toStdString();
}

// Uploads a workbook to import as the application does.
inline httplib::Result upload(TestClient &http, const std::string &filename, const std::string &bytes) {
    static const std::string boundary = "6F1C1E8A-44D1-4C2B-9D0E-3A5B7C9D1E2F";
    return http.post("/sheets/import",
                     "--" + boundary + "\r\nContent-Disposition: form-data; name=\"file\"; filename=\"" +
                         filename + "\"\r\nContent-Type: application/octet-stream\r\n\r\n" + bytes +
                         "\r\n--" + boundary + "--\r\n",
                     "multipart/form-data; boundary=" + boundary);
}

// An import job's answer that the tests can read like a real one.
inline nlohmann::json jobAnswer(const std::string &status, const std::string &error) {
    return {{"status", status}, {"error", error}, {"location", ""}, {"progress", ""}};
}

// Follows an import job until it ends.
inline nlohmann::json follow(TestClient &http, const std::string &job) {
    for (int poll = 0; poll < 6000; ++poll) {
        const auto progress = TestClient::json(http.get("/api/native/jobs/" + job));
        if (!progress.is_object())
            return jobAnswer("unreadable", "");
        if (progress["status"] == "done" || progress["status"] == "failed")
            return progress;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return jobAnswer("unfinished", "");
}

// Uploads and follows the job: its last answer, or the refusal of the upload.
inline nlohmann::json importBook(TestClient &http, const std::string &filename, const std::string &bytes) {
    const auto started = upload(http, filename, bytes);
    if (status(started) != 202)
        return jobAnswer("upload answered " + std::to_string(status(started)), started ? started->body : "");
    return follow(http, TestClient::json(started)["job"].get<std::string>());
}

// The code the approval page shows for a sign-in request, as the application computes it.
inline std::string comparisonCode(const std::string &id) {
    const auto digest = QCryptographicHash::hash(QByteArray::fromStdString(id), QCryptographicHash::Sha256);
    const std::string hex = digest.left(4).toHex().toUpper().toStdString();
    return hex.substr(0, 4) + "-" + hex.substr(4);
}

// What most server test classes hold: a server of their own with Ann, Bob and Carl signed in.
class ServerTestBase {
protected:
    // Starts the server with `arguments` and signs in the first `people` of Ann, Bob and Carl.
    bool startServer(int people, const QStringList &arguments = {}) {
        m_server = std::make_unique<ServerProcess>(ServerProcess::Options{{}, arguments, {}});
        if (!m_server->start()) {
            qWarning("%s", qPrintable(m_server->errorString()));
            return false;
        }
        const char *names[] = {"ann", "bob", "carl"};
        std::optional<ServerSession> *sessions[] = {&m_ann, &m_bob, &m_carl};
        for (int i = 0; i < people; ++i)
            if (!(*sessions[i] = person(*m_server, names[i])))
                return false;
        return true;
    }

    bool stopServer() {
        const bool clean = m_server->stop();
        if (!clean)
            qWarning("%s", qPrintable(m_server->errorString()));
        return clean;
    }

    TestClient ann() const { return m_server->client(m_ann); }
    TestClient bob() const { return m_server->client(m_bob); }

    // A new sheet of Ann's.
    SheetRef sheet() const {
        auto http = ann();
        return newSheet(http);
    }

    // A window of the sheet as Ann reads it.
    nlohmann::json grid(const SheetRef &sheet, int firstRow = 0, int firstCol = 0, int rows = 25,
                        int cols = 50) const {
        auto http = ann();
        return TestClient::json(SheetApi::tile(http, sheet, firstRow, firstCol, rows, cols));
    }

    std::unique_ptr<ServerProcess> m_server;
    std::optional<ServerSession> m_ann;
    std::optional<ServerSession> m_bob;
    std::optional<ServerSession> m_carl;
};
