#pragma once

#include <QDialog>

#include <functional>
#include <memory>

class SheetModel;
class QLabel;
class QVBoxLayout;

// The one frame every panel of an open sheet shares: the panel's name as title, the model's error
// line at the top, the panel's content, and "Done". Panels are made by name from factories that
// feature code registers; a known name without a factory yet shows a short placeholder.
class SheetPanels : public QDialog {
    Q_OBJECT
public:
    // Opens a sheet in a document window of its own (after an import).
    using OpenImported = std::function<void(quint64 id, const QString &title)>;
    // Builds a panel's content for `panels`, which it may dismiss or ask for openImported().
    using Factory = std::function<QWidget *(const std::shared_ptr<SheetModel> &model, SheetPanels *panels)>;

    // Every name a workspace or menu may ask for, in menu order.
    static const QStringList &knownNames();
    // Replaces any earlier factory of `name`.
    static void registerPanel(const QString &name, Factory factory);
    static bool isRegistered(const QString &name);

    SheetPanels(std::shared_ptr<SheetModel> model, const QString &panel, OpenImported openImported,
                QWidget *parent = nullptr);

    const QString &panel() const { return m_panel; }
    const std::shared_ptr<SheetModel> &model() const { return m_model; }
    const OpenImported &openImported() const { return m_openImported; }
    QWidget *content() const { return m_content; }
    QLabel *errorLabel() const { return m_error; }

    // Closes the panel ("Done", a finished rename).
    void dismiss();

private:
    void updateError();

    std::shared_ptr<SheetModel> m_model;
    QString m_panel;
    OpenImported m_openImported;
    QLabel *m_error = nullptr;
    QWidget *m_content = nullptr;
};
