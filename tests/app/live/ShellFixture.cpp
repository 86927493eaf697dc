#include "ShellFixture.h"

#include "TaskRunner.h"

#include "connection/NativeAccountSettings.h"
#include "connection/NativeCredentials.h"
#include "sheet/SheetRename.h"

#include <QSettings>

ShellFixture::ShellFixture() : m_account(std::make_unique<E2eAccount>()) {
    if (!m_account->ok())
        return;
    auto settings =
        std::make_shared<QSettings>(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    const NativeAccount stored = NativeAccount::create(m_account->origin(), QStringLiteral("Ann"));
    NativeAccountSettings(settings).updateAccounts([&](QList<NativeAccount> &list) { list = {stored}; }, {});
    NativeAccountSettings(settings).setActiveAccount(stored.id);
    const ServerSession &session = m_account->session();
    runTask(NativeCredentials::save(
        NativeSession{QString::fromStdString(session.name), QString::fromStdString(session.value)},
        stored.key(), stored.name));

    TabrelApp::Options options;
    options.defaultServer = m_account->origin().toString();
    options.settings = settings;
    options.services.openBrowser = [](QUrl) -> QCoro::Task<bool> { co_return true; };
    options.environment.clipboard = std::make_shared<MemoryClipboard>();
    options.environment.measure = [](const QString &text, bool, bool) { return 7.0 * double(text.size()); };
    options.terminate = [this] { ++m_terminations; };
    m_app = std::make_unique<TabrelApp>(std::move(options));
    m_ok = true;
}

ShellFixture::~ShellFixture() {
    m_app.reset();
}

SheetSummary ShellFixture::createSheet(const QString &title) {
    const auto model = m_account->model();
    const std::optional<SheetSummary> created = runTask(model->create(true));
    if (!created)
        return {};
    runTask(renameSheet(model, title));
    return model->page() ? model->page()->Sheet : *created;
}

QString ShellFixture::serverRaw(quint64 sheet, qint64 r, qint64 c) {
    const auto model = m_account->model();
    runTask(model->open(SheetSummary{sheet, QString(), 0, QString(), std::nullopt}));
    const auto found = model->cells().find(Coordinate{r, c});
    return found == model->cells().end() ? QString() : found->raw;
}
