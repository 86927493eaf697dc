#include "ShellFixture.h"

#include "TaskRunner.h"

#include "connection/NativeAccountSettings.h"
#include "connection/NativeCredentials.h"

#include <QSettings>

ShellFixture::ShellFixture() : m_account(std::make_unique<E2eAccount>()) {
    if (!m_account->ok())
        return;
    auto settings =
        std::make_shared<QSettings>(m_dir.filePath(QStringLiteral("settings.ini")), QSettings::IniFormat);
    const NativeAccount stored = NativeAccount::create(m_account->origin(), QStringLiteral("Ann"));
    NativeAccountSettings(settings).updateAccounts([&](QList<NativeAccount> &list) { list = {stored}; }, {});
    NativeAccountSettings(settings).setActiveAccount(stored.id);
    runTask(NativeCredentials::save(m_account->nativeSession(), stored.key(), stored.name));

    TabrelApp::Options options;
    options.defaultServer = m_account->origin().toString();
    options.settings = settings;
    options.services.openBrowser = [](QUrl) -> QCoro::Task<bool> { co_return true; };
    options.environment.clipboard = std::make_shared<FakeClipboard>();
    options.environment.measure = [](const QString &text, bool, bool) { return 7.0 * double(text.size()); };
    options.terminate = [this] { ++m_terminations; };
    m_app = std::make_unique<TabrelApp>(std::move(options));
    m_ok = true;
}

ShellFixture::~ShellFixture() {
    m_app.reset();
}
