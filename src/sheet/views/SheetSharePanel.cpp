#include "sheet/views/SheetSharePanel.h"

#include "sheet/SheetModel.h"

#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

namespace {
QComboBox *rolePicker(const QStringList &roles, QWidget *parent) {
    auto *picker = new QComboBox(parent);
    for (const QString &role : roles)
        picker->addItem(role.left(1).toUpper() + role.mid(1), role);
    return picker;
}

// Empties a layout, deleting its widgets and those of its nested layouts.
void clear(QLayout *layout) {
    while (QLayoutItem *item = layout->takeAt(0)) {
        if (QLayout *nested = item->layout())
            clear(nested);
        delete item->widget();
        delete item; // a nested layout is its own item
    }
}
} // namespace

SheetSharePanel::SheetSharePanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : SheetFeaturePanel(std::move(model), parent) {
    addText(tr("People you share with can see your team\u2019s name."));
    m_address = new QLineEdit(this);
    m_role = rolePicker(SheetSharing::roles, this);
    m_grant = new QPushButton(tr("Grant access"), this);
    auto *form = new QFormLayout;
    form->addRow(tr("Email address"), m_address);
    form->addRow(tr("Access"), m_role);
    column()->addLayout(form);
    column()->addWidget(m_grant);
    m_people = new QVBoxLayout;
    column()->addLayout(m_people);

    m_linkRole = rolePicker(SheetSharing::linkRoles, this);
    auto *linkForm = new QFormLayout;
    linkForm->addRow(tr("Link access"), m_linkRole);
    column()->addLayout(linkForm);
    m_createLink = new QPushButton(tr("Create link"), this);
    column()->addWidget(m_createLink);
    m_newLinkBox = new QWidget(this);
    auto *newLink = new QVBoxLayout(m_newLinkBox);
    newLink->setContentsMargins(0, 0, 0, 0);
    m_newLink = new QLineEdit(m_newLinkBox);
    m_newLink->setReadOnly(true);
    m_newLink->setAccessibleName(tr("New link"));
    auto *copy = new QPushButton(tr("Copy link"), m_newLinkBox);
    auto *note = new QLabel(tr("Copy this link now. It is shown only once."), m_newLinkBox);
    QFont small = note->font();
    small.setPointSizeF(small.pointSizeF() * 0.85);
    note->setFont(small);
    newLink->addWidget(m_newLink);
    newLink->addWidget(copy);
    newLink->addWidget(note);
    column()->addWidget(m_newLinkBox);
    m_links = new QVBoxLayout;
    column()->addLayout(m_links);
    m_notice = addText(QString());
    column()->addStretch();

    SheetModel *raw = this->model().get();
    // Only owners manage sharing; for anyone else the controls stay off.
    const auto updateGrant = [this, raw] {
        const bool mayShare = raw->sheetSharing().mayShare();
        m_grant->setEnabled(mayShare && !m_address->text().isEmpty());
        m_createLink->setEnabled(mayShare);
    };
    updateGrant();
    connect(m_address, &QLineEdit::textChanged, this, updateGrant);
    connect(raw, &SheetModel::pageChanged, this, updateGrant);
    connect(raw, &SheetModel::pageChanged, this, &SheetSharePanel::rebuild);
    connect(m_grant, &QPushButton::clicked, this, [this] {
        run([model = this->model(), address = m_address->text(),
             role = m_role->currentData().toString()]() -> QCoro::Task<> {
            co_await model->sheetSharing().grant(address, role);
        });
    });
    connect(m_createLink, &QPushButton::clicked, this, [this] {
        run([model = this->model(), role = m_linkRole->currentData().toString()]() -> QCoro::Task<> {
            co_await model->sheetSharing().createLink(role);
        });
    });
    connect(copy, &QPushButton::clicked, this,
            [this] { QApplication::clipboard()->setText(m_newLink->text()); });
    connect(&raw->sheetSharing(), &SheetSharing::sharingChanged, this, &SheetSharePanel::rebuild);
    connect(raw, &SheetModel::noticeChanged, this, [this, raw] { m_notice->setText(raw->notice()); });
    m_notice->setText(raw->notice());
    rebuild();
}

void SheetSharePanel::showEvent(QShowEvent *event) {
    SheetFeaturePanel::showEvent(event);
    run([model = this->model()] { return model->sheetSharing().load(); });
}

void SheetSharePanel::rebuild() {
    clear(m_people);
    clear(m_links);
    const std::optional<SharingPage> &sharing = model()->sheetSharing().sharing();
    const QString link = sharing ? sharing->NewLink : QString();
    m_newLink->setText(link);
    m_newLinkBox->setVisible(!link.isEmpty());
    if (!sharing)
        return;
    const bool mayShare = model()->sheetSharing().mayShare();
    for (const SharedPerson &person : sharing->People.value_or(QList<SharedPerson>())) {
        auto *row = new QHBoxLayout;
        row->addWidget(new QLabel(person.Member.Address, this), 1);
        row->addWidget(new QLabel(person.Role, this));
        auto *remove = new QPushButton(tr("Remove access"), this);
        connect(remove, &QPushButton::clicked, this, [this, member = person.Member.ID] {
            run([model = this->model(), member]() -> QCoro::Task<> {
                co_await model->sheetSharing().removeAccess(member);
            });
        });
        remove->setEnabled(mayShare);
        row->addWidget(remove);
        m_people->addLayout(row);
    }
    for (const SharedLink &shared : sharing->Links.value_or(QList<SharedLink>())) {
        auto *revoke = new QPushButton(tr("Revoke %1 link %2").arg(shared.Role).arg(shared.ID), this);
        connect(revoke, &QPushButton::clicked, this, [this, id = shared.ID] {
            run([model = this->model(), id]() -> QCoro::Task<> {
                co_await model->sheetSharing().revokeLink(id);
            });
        });
        revoke->setEnabled(mayShare);
        m_links->addWidget(revoke);
    }
}
