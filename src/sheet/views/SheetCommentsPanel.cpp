#include "sheet/views/SheetCommentsPanel.h"

#include "sheet/SheetModel.h"

#include <QGroupBox>
#include <QLabel>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QVBoxLayout>

SheetCommentsPanel::SheetCommentsPanel(std::shared_ptr<SheetModel> model, QWidget *parent)
    : SheetFeaturePanel(std::move(model), parent) {
    m_composer = new QWidget(this);
    auto *composer = new QVBoxLayout(m_composer);
    composer->setContentsMargins(0, 0, 0, 0);
    m_target = new QLabel(m_composer);
    m_body = new QPlainTextEdit(m_composer);
    m_body->setAccessibleName(tr("Comment"));
    m_body->setPlaceholderText(tr("Comment"));
    m_add = new QPushButton(tr("Add comment"), m_composer);
    composer->addWidget(m_target);
    composer->addWidget(m_body);
    composer->addWidget(m_add);
    column()->addWidget(m_composer);
    m_threads = new QVBoxLayout;
    column()->addLayout(m_threads);
    column()->addStretch();

    SheetModel *raw = this->model().get();
    for (auto signal :
         {&SheetModel::pageChanged, &SheetModel::selectionAnchorChanged, &SheetModel::busyChanged,
          &SheetModel::draftChanged, &SheetModel::originalDraftChanged})
        connect(raw, signal, this, &SheetCommentsPanel::updateComposer);
    connect(m_body, &QPlainTextEdit::textChanged, this, &SheetCommentsPanel::updateComposer);
    connect(raw, &SheetModel::pageChanged, this, &SheetCommentsPanel::rebuild);
    connect(&raw->sheetComments(), &SheetComments::threadsChanged, this, &SheetCommentsPanel::rebuild);
    connect(m_add, &QPushButton::clicked, this, [this] {
        run([model = this->model(), panel = QPointer<SheetCommentsPanel>(this),
             body = m_body->toPlainText()]() -> QCoro::Task<> {
            const bool added = co_await model->sheetComments().add(body);
            if (added && panel)
                panel->m_body->clear();
        });
    });
    updateComposer();
    rebuild();
}

void SheetCommentsPanel::showEvent(QShowEvent *event) {
    SheetFeaturePanel::showEvent(event);
    run([model = this->model()] { return model->sheetComments().load(); });
}

void SheetCommentsPanel::updateComposer() {
    const SheetComments &comments = model()->sheetComments();
    m_composer->setVisible(comments.mayComment());
    m_target->setText(tr("Comment on %1").arg(model()->selectionAnchor().ref()));
    m_add->setEnabled(comments.mayAdd(m_body->toPlainText()));
}

void SheetCommentsPanel::rebuild() {
    while (QLayoutItem *item = m_threads->takeAt(0)) {
        delete item->widget();
        delete item;
    }
    const bool mayComment = model()->sheetComments().mayComment();
    for (const CommentThread &thread : model()->sheetComments().threads()) {
        const QString header =
            thread.Resolved ? thread.Ref + QStringLiteral(" \u00B7 ") + tr("Resolved") : thread.Ref;
        auto *group = new QGroupBox(header, this);
        auto *layout = new QVBoxLayout(group);
        for (const CommentEntry &entry : thread.Entries) {
            auto *author = new QLabel(entry.Author, group);
            QFont caption = author->font();
            caption.setPointSizeF(caption.pointSizeF() * 0.85);
            author->setFont(caption);
            auto *body = new QLabel(entry.Body, group);
            body->setTextFormat(Qt::PlainText);
            body->setWordWrap(true);
            body->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
            layout->addWidget(author);
            layout->addWidget(body);
        }
        if (!thread.Resolved && mayComment) {
            auto *resolve = new QPushButton(tr("Resolve thread"), group);
            connect(resolve, &QPushButton::clicked, this, [this, r = thread.RowPos, c = thread.ColPos] {
                run([model = this->model(), r, c] { return model->sheetComments().resolve(r, c); });
            });
            layout->addWidget(resolve);
        }
        m_threads->addWidget(group);
    }
}
