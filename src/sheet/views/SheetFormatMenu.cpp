#include "sheet/views/SheetFormatMenu.h"

#include "async/DetachedTask.h"

#include <QCoreApplication>
#include <QIcon>

namespace {
QString mac(const char *text) {
    return QCoreApplication::translate("Mac", text);
}
} // namespace

SheetFormatMenu::SheetFormatMenu(std::shared_ptr<SheetModel> model, QWidget *parent)
    : QMenu(mac("Format"), parent), m_model(std::move(model)) {
    setIcon(QIcon::fromTheme(QStringLiteral("format-text-bold")));
    m_bold = addAction(mac("Bold"), this, [this] {
        send({{QStringLiteral("bold"), !m_model->everySelectedCell(&CellStyle::b)}});
    });
    m_bold->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    m_italic = addAction(mac("Italic"), this, [this] {
        send({{QStringLiteral("italic"), !m_model->everySelectedCell(&CellStyle::i)}});
    });
    m_italic->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_I));

    m_alignment = addMenu(mac("Alignment"));
    m_alignment->addAction(mac("Automatic"), this, [this] { send({{QStringLiteral("align"), QString()}}); });
    for (const char *value : {"left", "center", "right"}) {
        QString label = QString::fromLatin1(value);
        label[0] = label[0].toUpper();
        const QString align = QString::fromLatin1(value);
        m_alignment->addAction(mac(label.toLatin1().constData()), this, [this, align] {
            send({{QStringLiteral("align"), align}});
        });
    }
    m_numberFormat = addMenu(mac("Number format"));
    m_fill = addMenu(mac("Fill colour"));
    m_ink = addMenu(mac("Text colour"));
    m_clear = addAction(mac("Clear formatting"), this, [this] { send(clearedFormatting()); });

    SheetModel *observed = m_model.get();
    connect(observed, &SheetModel::pageChanged, this, &SheetFormatMenu::rebuildLists);
    for (auto signal :
         {&SheetModel::pageChanged, &SheetModel::busyChanged, &SheetModel::hasUnconfirmedChangesChanged})
        connect(observed, signal, this, &SheetFormatMenu::followState);
    rebuildLists();
    followState();
}

FormatChanges SheetFormatMenu::clearedFormatting() {
    return {{QStringLiteral("bold"), false},
            {QStringLiteral("italic"), false},
            {QStringLiteral("align"), QString()},
            {QStringLiteral("numfmt"), QString()},
            {QStringLiteral("fill"), QStringLiteral("none")},
            {QStringLiteral("ink"), QStringLiteral("none")}};
}

void SheetFormatMenu::rebuildLists() {
    const auto &page = m_model->page();
    m_numberFormat->clear();
    m_fill->clear();
    m_ink->clear();
    m_fill->addAction(mac("No fill"), this, [this] {
        send({{QStringLiteral("fill"), QStringLiteral("none")}});
    });
    m_ink->addAction(mac("Default"), this, [this] {
        send({{QStringLiteral("ink"), QStringLiteral("none")}});
    });
    if (!page)
        return;
    for (const NumberStyle &style : page->NumberFormats) {
        const QString code = style.Code;
        m_numberFormat->addAction(style.Label, this, [this, code] {
            send({{QStringLiteral("numfmt"), code}});
        });
    }
    for (const PaletteItem &item : page->FillSwatches) {
        const QString name = item.Name;
        m_fill->addAction(item.Label, this, [this, name] { send({{QStringLiteral("fill"), name}}); });
    }
    for (const PaletteItem &item : page->InkSwatches) {
        const QString name = item.Name;
        m_ink->addAction(item.Label, this, [this, name] { send({{QStringLiteral("ink"), name}}); });
    }
}

void SheetFormatMenu::followState() {
    setEnabled(m_model->mayWrite() && !m_model->hasUnconfirmedChanges() && !m_model->busy());
}

void SheetFormatMenu::send(FormatChanges changes) {
    auto model = m_model;
    startDetached(model, [model, changes] { return model->format(changes); });
}
