#pragma once

#include <QDialog>
#include <QPointer>
#include <QWidget>

#include <functional>
#include <memory>

class NativeConnection;
class NativeSignInView;

class QLabel;
class QPushButton;
class QVBoxLayout;

// The accounts of the application, most recently used first; choosing one makes it active.
// "Add account" shows the sign-in form in a dialog (or calls the host's action). With no account
// at all the form is shown in place, so a first start goes straight to signing in.
class NativeAccountsView : public QWidget {
    Q_OBJECT
public:
    NativeAccountsView(const QString &name, const QString &symbol,
                       std::shared_ptr<NativeConnection> connection, std::function<void()> addAccount = {},
                       QWidget *parent = nullptr);

    QList<QPushButton *> accountButtons() const { return m_accountButtons; }
    QPushButton *addButton() const { return m_add; }
    QLabel *errorLabel() const { return m_error; }
    // The form shown in place (no accounts) or in the "Add account" dialog; null when neither shows.
    NativeSignInView *signInView() const;
    bool adding() const { return m_dialog != nullptr; }

private:
    void rebuild();
    void showInline(bool shown);
    void startAdding();
    void stopAdding();

    QString m_name;
    QString m_symbol;
    std::shared_ptr<NativeConnection> m_connection;
    std::function<void()> m_addAccount;
    QLabel *m_error = nullptr;
    QWidget *m_list = nullptr;
    QVBoxLayout *m_listLayout = nullptr;
    QList<QPushButton *> m_accountButtons;
    QPushButton *m_add = nullptr;
    QVBoxLayout *m_layout = nullptr;
    // Made the first time no account is left: with accounts, start-up need not build the form.
    NativeSignInView *m_inline = nullptr;
    QPointer<QDialog> m_dialog;
};
