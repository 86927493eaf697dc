#pragma once

#include <QWidget>

#include <memory>

class NativeConnection;
class QLabel;
class QLineEdit;
class QPushButton;
class QStackedWidget;

// The sign-in form: server address and account name, then, while the browser approval runs, the
// comparison code, the approval link to copy and a way to open it again, so that nobody is stuck
// when no browser came up.
class NativeSignInView : public QWidget {
    Q_OBJECT
public:
    NativeSignInView(const QString &name, const QString &symbol, std::shared_ptr<NativeConnection> connection,
                     QWidget *parent = nullptr);

    QLineEdit *serverField() const { return m_server; }
    QLineEdit *accountNameField() const { return m_accountName; }
    QPushButton *signInButton() const { return m_signIn; }
    QPushButton *cancelButton() const { return m_cancel; }
    QPushButton *openAgainButton() const { return m_openAgain; }
    QLineEdit *linkField() const { return m_link; }
    QLabel *codeLabel() const { return m_code; }
    QLabel *errorLabel() const { return m_error; }
    bool showsWaiting() const;

    // Starts the sign-in in the system browser.
    void startSignIn();

protected:
    void showEvent(QShowEvent *event) override;

private:
    void refresh();

    std::shared_ptr<NativeConnection> m_connection;
    QStackedWidget *m_pages = nullptr;
    QLineEdit *m_server = nullptr;
    QLineEdit *m_accountName = nullptr;
    QPushButton *m_signIn = nullptr;
    QLabel *m_code = nullptr;
    QLineEdit *m_link = nullptr;
    QPushButton *m_openAgain = nullptr;
    QPushButton *m_cancel = nullptr;
    QWidget *m_errorRow = nullptr;
    QLabel *m_error = nullptr;
};
