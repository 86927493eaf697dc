#include "connection/views/NativeAccountsView.h"

#include "async/DetachedTask.h"
#include "connection/NativeConnection.h"
#include "connection/views/NativeIcon.h"
#include "connection/views/NativeSignInView.h"

#include <QCoreApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QScrollArea>
#include <QVBoxLayout>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}

// The second line of an account: the server's host, or the whole origin when it has none.
QString hostLine(const QUrl &origin) {
    return origin.host().isEmpty() ? origin.toString() : origin.host();
}
} // namespace

NativeAccountsView::NativeAccountsView(const QString &name, const QString &symbol,
                                       std::shared_ptr<NativeConnection> connection,
                                       std::function<void()> addAccount, QWidget *parent)
    : QWidget(parent), m_name(name), m_symbol(symbol), m_connection(std::move(connection)),
      m_addAccount(std::move(addAccount)) {
    auto *layout = new QVBoxLayout(this);
    m_layout = layout;
    layout->setContentsMargins(24, 24, 24, 24);
    auto *title = new QLabel(mac("Accounts"), this);
    QFont font = title->font();
    font.setPointSizeF(font.pointSizeF() * 1.4);
    font.setBold(true);
    title->setFont(font);
    layout->addWidget(title);
    m_error = new QLabel(this);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c62828;"));
    layout->addWidget(m_error);
    m_list = new QWidget(this);
    m_listLayout = new QVBoxLayout(m_list);
    m_listLayout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_list);
    m_add = new QPushButton(nativeIcon(QStringLiteral("list-add")), mac("Add account"), this);
    layout->addWidget(m_add, 0, Qt::AlignLeft);
    layout->addStretch();

    connect(m_add, &QPushButton::clicked, this, &NativeAccountsView::startAdding);
    connect(m_connection.get(), &NativeConnection::accountsChanged, this, &NativeAccountsView::rebuild);
    connect(m_connection.get(), &NativeConnection::errorChanged, this, &NativeAccountsView::rebuild);
    // A sign-in that succeeded makes a client: the host replaces this view, the dialog goes.
    connect(m_connection.get(), &NativeConnection::clientChanged, this, [this] {
        if (m_connection->client())
            stopAdding();
    });
    rebuild();
}

NativeSignInView *NativeAccountsView::signInView() const {
    if (m_dialog)
        return m_dialog->findChild<NativeSignInView *>();
    return m_inline && m_inline->isVisibleTo(this) ? m_inline : nullptr;
}

void NativeAccountsView::rebuild() {
    m_error->setText(m_connection->error());
    m_error->setVisible(!m_connection->error().isEmpty());
    qDeleteAll(m_accountButtons);
    m_accountButtons.clear();
    for (const NativeAccount &account : m_connection->accounts()) {
        auto *button = new QPushButton(nativeIcon(QStringLiteral("avatar-default")),
                                       account.name + u'\n' + hostLine(account.origin), m_list);
        button->setAccessibleName(account.name);
        button->setAccessibleDescription(hostLine(account.origin));
        button->setStyleSheet(QStringLiteral("text-align: left; padding: 6px;"));
        connect(button, &QPushButton::clicked, this, [this, account] {
            startDetached(m_connection, [connection = m_connection, account] {
                return connection->selectAccount(account);
            });
        });
        m_listLayout->addWidget(button);
        m_accountButtons.append(button);
    }
    const bool none = m_connection->accounts().isEmpty();
    m_add->setVisible(!none);
    showInline(none);
    // The inline form repeats the connection's error itself.
    if (none)
        m_error->setVisible(false);
}

void NativeAccountsView::showInline(bool shown) {
    if (shown && !m_inline) {
        m_inline = new NativeSignInView(m_name, m_symbol, m_connection, this);
        // Below "Add account", above the closing stretch.
        m_layout->insertWidget(m_layout->indexOf(m_add) + 1, m_inline, 1);
    }
    if (m_inline)
        m_inline->setVisible(shown);
}

void NativeAccountsView::startAdding() {
    m_connection->setAccountName(QString());
    m_connection->setError(QString());
    if (m_addAccount) {
        m_addAccount();
        return;
    }
    if (m_dialog)
        return;
    auto *dialog = new QDialog(this);
    dialog->setWindowTitle(mac("Add account"));
    dialog->setWindowModality(Qt::WindowModal);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    auto *layout = new QVBoxLayout(dialog);
    layout->addWidget(new NativeSignInView(m_name, m_symbol, m_connection, dialog));
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Cancel, dialog);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::rejected, this, &NativeAccountsView::stopAdding);
    connect(dialog, &QDialog::rejected, this, [this] { m_connection->cancel(); });
    m_dialog = dialog;
    dialog->open();
}

void NativeAccountsView::stopAdding() {
    if (!m_dialog)
        return;
    m_connection->cancel();
    QDialog *dialog = m_dialog;
    m_dialog = nullptr;
    dialog->close();
}
