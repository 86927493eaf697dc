#include "E2eAccount.h"

#include "TaskRunner.h"

#include "async/DetachedTask.h"
#include "sheet/SheetRename.h"

namespace {
const char *email = "e2e@example.com";
const char *password = "a long enough password";
} // namespace

E2eAccount::E2eAccount(ServerProcess::Options options) : m_server(std::move(options)) {
    if (!m_server.start()) {
        m_error = m_server.errorString();
        return;
    }
    if (!m_server.addUser(QString::fromUtf8(email), QStringLiteral("E2E"), QString::fromUtf8(password))) {
        m_error = QStringLiteral("add-user failed: ") + m_server.output();
        return;
    }
    m_session = m_server.signIn(email, password);
    if (!m_session)
        m_error = QStringLiteral("sign-in failed");
}

NativeSession E2eAccount::nativeSession() const {
    return {QString::fromStdString(m_session->name), QString::fromStdString(m_session->value)};
}

std::shared_ptr<NativeHTTP> E2eAccount::client() const {
    return NativeHTTP::create(origin(), nativeSession());
}

std::shared_ptr<SheetModel> E2eAccount::model(std::shared_ptr<NativeTransport> transport,
                                              SheetModelEnvironment environment) const {
    if (!environment.clipboard)
        environment.clipboard = std::make_shared<FakeClipboard>();
    if (!environment.measure)
        environment.measure = [](const QString &text, bool, bool) { return 7.0 * double(text.size()); };
    return SheetModel::make(transport ? std::move(transport) : client(), std::move(environment));
}

std::shared_ptr<SheetModel> E2eAccount::opened(const SheetSummary &sheet) const {
    auto reader = model();
    runTask(reader->open(sheet));
    return reader;
}

QString E2eAccount::serverRaw(quint64 sheet, qint64 r, qint64 c) const {
    return opened(SheetSummary{sheet, QString(), 0, QString(), std::nullopt})->cells().value({r, c}).raw;
}

std::optional<SheetSummary> E2eAccount::createSheet(const QString &title) {
    auto creator = model();
    const std::optional<SheetSummary> created = runTask(creator->create(!title.isEmpty()));
    if (!created || title.isEmpty())
        return created;
    if (!runTask(renameSheet(creator, title)) || !creator->page())
        return std::nullopt;
    return creator->page()->Sheet;
}

std::shared_ptr<CancellationSource> startWatching(const std::shared_ptr<SheetModel> &model) {
    auto stop = std::make_shared<CancellationSource>();
    startDetached(model, [model, token = stop->token()] { return model->watch(token); });
    return stop;
}
