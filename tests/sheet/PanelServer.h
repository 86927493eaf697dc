#pragma once

#include "FakeTransport.h"
#include "SheetFixtures.h"
#include "TaskRunner.h"

#include "async/Wakeup.h"
#include "sheet/SheetModel.h"

#include <QCoroSignal>
#include <QMap>
#include <QUrlQuery>

// A scripted server for the feature panels: answers the page and tiles of any sheet it is asked
// for, and every other request from `answers`, keyed by "METHOD path" (404 when missing). Tests may
// hold an answer back behind a gate.
class PanelServer {
public:
    struct Gate {
        Wakeup wakeup;
        bool open = false;
        QCoro::Task<> pass() {
            if (!open)
                co_await qCoro(&wakeup, &Wakeup::woken);
        }
        void release() {
            open = true;
            wakeup.wake();
        }
    };

    explicit PanelServer(std::shared_ptr<FakeTransport> transport) : m_transport(std::move(transport)) {
        m_transport->setHandler([this](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
            const QString key = request.method + u' ' + request.path;
            if (const auto gate = gates.value(key))
                co_await gate->pass();
            co_return respond(request);
        });
    }

    // Opens sheet `id` (tab id + 100) in `model`; the page's rights are `mayWrite` and the rest.
    void open(SheetModel &model, quint64 id, bool mayWrite = true) {
        m_mayWrite = mayWrite;
        runTask(model.open(fixtures::summary(id, id + 100)));
        m_transport->clearRequests();
    }

    // Answers `key` ("METHOD path") with `response` from now on.
    void on(const QString &key, NativeResponse response) { answers[key] = std::move(response); }

    // The form fields of the last POST to `path`, decoded.
    QMap<QString, QString> lastForm(const QString &path) const {
        const auto &requests = m_transport->requests();
        for (auto it = requests.crbegin(); it != requests.crend(); ++it) {
            if (it->path == path && it->method == u"POST") {
                QMap<QString, QString> fields;
                const QUrlQuery query(QString::fromUtf8(it->body.value_or(QByteArray())));
                for (const auto &item : query.queryItems(QUrl::FullyDecoded))
                    fields.insert(item.first, item.second);
                return fields;
            }
        }
        return {};
    }

    // The answer to `request`, without its gate: for tests that script some paths themselves.
    NativeResponse respond(const FakeTransport::Request &request) {
        const QString key = request.method + u' ' + request.path;
        if (request.method == u"GET" && request.path.contains(u"/cells?"))
            return fixtures::answer(200, fixtures::gridJson(1));
        if (request.method == u"GET" && request.path.count(u'/') == 2 &&
            request.path.startsWith(u"/sheets/")) {
            const quint64 id = request.path.mid(8).toULongLong();
            return fixtures::answer(
                200, fixtures::pageJson(id, id + 100, 10, 5, m_mayWrite, mayComment, mayShare));
        }
        return answers.value(key, fixtures::notice(404, "missing", "Not found."));
    }

    QMap<QString, NativeResponse> answers;
    QMap<QString, std::shared_ptr<Gate>> gates;
    // The rights of the pages served from now on.
    bool mayComment = true;
    bool mayShare = true;

private:
    std::shared_ptr<FakeTransport> m_transport;
    bool m_mayWrite = true;
};
