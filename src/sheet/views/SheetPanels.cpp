#include "sheet/views/SheetPanels.h"

#include "sheet/SheetModel.h"
#include "sheet/views/SheetFeaturePanel.h"
#include "sheet/views/SheetRenamePanel.h"
#include "sheet/views/SheetSizesPanel.h"

#include <QCoreApplication>
#include <QDialogButtonBox>
#include <QHash>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QHash<QString, SheetPanels::Factory> &factories() {
    static QHash<QString, SheetPanels::Factory> registered = {
        {QStringLiteral("Rename"),
         [](const std::shared_ptr<SheetModel> &model, SheetPanels *panels) -> QWidget * {
             return new SheetRenamePanel(model, [panels = QPointer<SheetPanels>(panels)] {
                 if (panels)
                     panels->dismiss();
             });
         }},
    };
    return registered;
}
} // namespace

const QStringList &SheetPanels::knownNames() {
    static const QStringList names = {
        QStringLiteral("Rename"), QStringLiteral("Sizes"),    QStringLiteral("History"),
        QStringLiteral("Data"),   QStringLiteral("Comments"), QStringLiteral("Share"),
        QStringLiteral("Import"), QStringLiteral("Export"),
    };
    return names;
}

void SheetPanels::registerPanel(const QString &name, Factory factory) {
    factories().insert(name, std::move(factory));
}

bool SheetPanels::isRegistered(const QString &name) {
    return factories().contains(name);
}

SheetPanels::SheetPanels(std::shared_ptr<SheetModel> model, const QString &panel, OpenImported openImported,
                         QWidget *parent)
    : QDialog(parent), m_model(std::move(model)), m_panel(panel), m_openImported(std::move(openImported)) {
    setWindowTitle(m_panel);
    setMinimumSize(480, 500);
    auto *layout = new QVBoxLayout(this);
    auto *title = new QLabel(m_panel, this);
    QFont font = title->font();
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    title->setFont(font);
    layout->addWidget(title);

    m_error = new QLabel(this);
    m_error->setWordWrap(true);
    m_error->setStyleSheet(QStringLiteral("color: #c62828;"));
    layout->addWidget(m_error);

    const auto found = factories().constFind(m_panel);
    if (found != factories().constEnd()) {
        m_content = (*found)(m_model, this);
    } else if (m_panel == QLatin1String("Sizes")) {
        m_content = new SheetSizesPanel(m_model, this);
    } else if (SheetFeaturePanel *feature = SheetFeaturePanel::make(m_panel, m_model, m_openImported, this)) {
        connect(feature, &SheetFeaturePanel::done, this, &SheetPanels::dismiss);
        m_content = feature;
    } else if (knownNames().contains(m_panel)) {
        auto *placeholder =
            new QLabel(QCoreApplication::translate("Mac", "This panel is not available in this version."));
        placeholder->setWordWrap(true);
        m_content = placeholder;
    }
    if (m_content)
        layout->addWidget(m_content, 1);
    else
        layout->addStretch(1);

    auto *buttons = new QDialogButtonBox(this);
    buttons->addButton(QCoreApplication::translate("Mac", "Done"), QDialogButtonBox::AcceptRole);
    layout->addWidget(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &SheetPanels::dismiss);
    connect(m_model.get(), &SheetModel::errorChanged, this, &SheetPanels::updateError);
    updateError();
}

void SheetPanels::dismiss() {
    accept();
}

void SheetPanels::updateError() {
    m_error->setText(m_model->error());
    m_error->setVisible(!m_model->error().isEmpty());
}
