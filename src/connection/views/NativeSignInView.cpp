#include "connection/views/NativeSignInView.h"

#include "connection/NativeConnection.h"
#include "connection/views/NativeIcon.h"

#include <QApplication>
#include <QClipboard>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QStackedWidget>
#include <QVBoxLayout>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}

QLabel *secondary(const QString &text, QWidget *parent) {
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setForegroundRole(QPalette::PlaceholderText);
    return label;
}
} // namespace

NativeSignInView::NativeSignInView(const QString &name, const QString &symbol,
                                   std::shared_ptr<NativeConnection> connection, QWidget *parent)
    : QWidget(parent), m_connection(std::move(connection)) {
    auto *scroll = new QScrollArea(this);
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *outer = new QVBoxLayout(this);
    outer->setContentsMargins(0, 0, 0, 0);
    outer->addWidget(scroll);

    auto *content = new QWidget(scroll);
    auto *column = new QVBoxLayout(content);
    column->setContentsMargins(32, 32, 32, 32);
    column->setSpacing(24);
    content->setMaximumWidth(440 + 64);
    scroll->setWidget(content);

    auto *icon = new QLabel(content);
    icon->setPixmap(nativeIcon(symbol).pixmap(48, 48));
    icon->setAccessibleName(QString());
    icon->setAlignment(Qt::AlignLeft);
    column->addWidget(icon);

    auto *title = new QLabel(name, content);
    QFont titleFont = title->font();
    titleFont.setPointSizeF(titleFont.pointSizeF() * 1.6);
    titleFont.setBold(true);
    title->setFont(titleFont);
    auto *heading = new QVBoxLayout;
    heading->setSpacing(4);
    heading->addWidget(title);
    heading->addWidget(secondary(mac("Your team, wherever you work."), content));
    column->addLayout(heading);

    m_pages = new QStackedWidget(content);
    column->addWidget(m_pages);

    // The form.
    auto *form = new QWidget(m_pages);
    auto *formColumn = new QVBoxLayout(form);
    formColumn->setContentsMargins(0, 0, 0, 0);
    formColumn->setSpacing(8);
    auto *serverHeading = new QLabel(mac("Server address"), form);
    QFont bold = serverHeading->font();
    bold.setBold(true);
    serverHeading->setFont(bold);
    formColumn->addWidget(serverHeading);
    m_server = new QLineEdit(form);
    m_server->setObjectName(QStringLiteral("serverAddress"));
    m_server->setPlaceholderText(mac("https://your-server"));
    m_server->setAccessibleName(mac("Server address"));
    formColumn->addWidget(m_server);
    m_accountName = new QLineEdit(form);
    m_accountName->setPlaceholderText(mac("Account name (optional)"));
    m_accountName->setAccessibleName(mac("Account name (optional)"));
    formColumn->addWidget(m_accountName);
    m_signIn = new QPushButton(nativeIcon(QStringLiteral("go-next")), mac("Sign in"), form);
    m_signIn->setDefault(true);
    formColumn->addSpacing(16);
    formColumn->addWidget(m_signIn, 0, Qt::AlignLeft);
    formColumn->addStretch();
    m_pages->addWidget(form);

    // Waiting for the browser.
    auto *waiting = new QWidget(m_pages);
    auto *waitColumn = new QVBoxLayout(waiting);
    waitColumn->setContentsMargins(0, 0, 0, 0);
    waitColumn->setSpacing(12);
    auto *progress = new QProgressBar(waiting);
    progress->setRange(0, 0);
    progress->setTextVisible(false);
    progress->setMaximumHeight(8);
    progress->setAccessibleName(mac("Finish signing in in your browser"));
    waitColumn->addWidget(new QLabel(mac("Finish signing in in your browser"), waiting));
    waitColumn->addWidget(progress);
    m_code = new QLabel(waiting);
    QFont code = QFontDatabase::systemFont(QFontDatabase::FixedFont);
    code.setPointSizeF(code.pointSizeF() * 2);
    code.setBold(true);
    m_code->setFont(code);
    m_code->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    waitColumn->addWidget(m_code);
    waitColumn->addWidget(
        secondary(mac("Compare this code with the one in your browser before approving sign-in."), waiting));
    waitColumn->addWidget(secondary(mac("No browser window? Open this link in your browser:"), waiting));
    m_link = new QLineEdit(waiting);
    m_link->setReadOnly(true);
    m_link->setAccessibleName(mac("Sign-in link"));
    waitColumn->addWidget(m_link);
    auto *buttons = new QHBoxLayout;
    auto *copy = new QPushButton(mac("Copy link"), waiting);
    m_openAgain = new QPushButton(mac("Open again"), waiting);
    m_cancel = new QPushButton(mac("Cancel"), waiting);
    buttons->addWidget(copy);
    buttons->addWidget(m_openAgain);
    buttons->addStretch();
    buttons->addWidget(m_cancel);
    waitColumn->addLayout(buttons);
    waitColumn->addStretch();
    m_pages->addWidget(waiting);

    m_errorRow = new QWidget(content);
    auto *errorLayout = new QHBoxLayout(m_errorRow);
    errorLayout->setContentsMargins(0, 0, 0, 0);
    auto *errorIcon = new QLabel(m_errorRow);
    errorIcon->setPixmap(nativeIcon(QStringLiteral("dialog-error")).pixmap(16, 16));
    errorLayout->addWidget(errorIcon, 0, Qt::AlignTop);
    m_error = new QLabel(m_errorRow);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c62828;"));
    errorLayout->addWidget(m_error, 1);
    column->addWidget(m_errorRow);
    column->addStretch();

    NativeConnection *raw = m_connection.get();
    connect(m_server, &QLineEdit::textEdited, raw, &NativeConnection::setServerAddress);
    connect(m_accountName, &QLineEdit::textEdited, raw, &NativeConnection::setAccountName);
    connect(m_server, &QLineEdit::returnPressed, this, &NativeSignInView::startSignIn);
    connect(m_accountName, &QLineEdit::returnPressed, this, &NativeSignInView::startSignIn);
    connect(m_signIn, &QPushButton::clicked, this, &NativeSignInView::startSignIn);
    connect(m_cancel, &QPushButton::clicked, raw, &NativeConnection::cancel);
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_link->text()); });
    connect(m_openAgain, &QPushButton::clicked, raw, &NativeConnection::openBrowserAgain);
    for (auto signal : {&NativeConnection::serverAddressChanged, &NativeConnection::accountNameChanged,
                        &NativeConnection::signingInChanged, &NativeConnection::codeChanged,
                        &NativeConnection::browserURLChanged, &NativeConnection::errorChanged})
        connect(raw, signal, this, &NativeSignInView::refresh);
    refresh();
}

void NativeSignInView::showEvent(QShowEvent *event) {
    QWidget::showEvent(event);
    if (!showsWaiting() && !m_server->hasFocus() && !m_accountName->hasFocus())
        m_server->setFocus();
}

bool NativeSignInView::showsWaiting() const {
    return m_pages->currentIndex() == 1;
}

void NativeSignInView::startSignIn() {
    m_connection->signIn();
}

void NativeSignInView::refresh() {
    // Only rewrite a field when the model changed, so that typing keeps its cursor.
    if (m_server->text() != m_connection->serverAddress())
        m_server->setText(m_connection->serverAddress());
    if (m_accountName->text() != m_connection->accountName())
        m_accountName->setText(m_connection->accountName());
    m_pages->setCurrentIndex(m_connection->signingIn() ? 1 : 0);
    m_code->setText(m_connection->code());
    m_code->setAccessibleName(m_connection->code());
    const auto url = m_connection->browserURL();
    m_link->setText(url ? url->toString(QUrl::FullyEncoded) : QString());
    m_openAgain->setEnabled(url.has_value());
    m_error->setText(m_connection->error());
    m_error->setAccessibleName(m_connection->error());
    m_errorRow->setVisible(!m_connection->error().isEmpty());
}
