#pragma once

#include "E2eAccount.h"

#include "app/TabrelApp.h"

#include <QTemporaryDir>

#include <memory>

// A tabrel-server with a signed-in account, stored as the application stores it (settings and the
// secret store), and the application started on it. Needs a private keyring (run-with-keyring.sh).
class ShellFixture {
public:
    ShellFixture();
    ~ShellFixture();

    bool ok() const { return m_ok; }
    E2eAccount &account() { return *m_account; }
    TabrelApp &app() { return *m_app; }
    int terminations() const { return m_terminations; }

private:
    QTemporaryDir m_dir;
    std::unique_ptr<E2eAccount> m_account;
    std::unique_ptr<TabrelApp> m_app;
    int m_terminations = 0;
    bool m_ok = false;
};
