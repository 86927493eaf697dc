#include "E2eAccount.h"

#include "TaskRunner.h"

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

std::shared_ptr<NativeHTTP> E2eAccount::client() const {
    return NativeHTTP::create(origin(), NativeSession{QString::fromStdString(m_session->name),
                                                      QString::fromStdString(m_session->value)});
}

std::shared_ptr<SheetModel> E2eAccount::model(std::shared_ptr<NativeTransport> transport,
                                              SheetModelEnvironment environment) const {
    if (!environment.clipboard)
        environment.clipboard = std::make_shared<MemoryClipboard>();
    if (!environment.measure)
        environment.measure = [](const QString &text, bool, bool) { return 7.0 * double(text.size()); };
    return SheetModel::make(transport ? std::move(transport) : client(), std::move(environment));
}

std::optional<SheetSummary> E2eAccount::createSheet() {
    auto creator = model();
    return runTask(creator->create(false));
}
