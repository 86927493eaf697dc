#include "sheet/SheetRename.h"

#include "sheet/SheetModel.h"

QCoro::Task<bool> renameSheet(std::shared_ptr<SheetModel> model, QString title) {
    // Built before the co_await: GCC 12 miscompiles initializer lists inside one.
    FormFields fields;
    fields.insert(QStringLiteral("title"), title);
    const QString path = QStringLiteral("/rename");
    const bool ok = co_await model->command(path, fields);
    if (!ok)
        co_return false;
    co_await model->loadList();
    if (const auto &page = model->page()) {
        const quint64 id = page->Sheet.ID;
        for (const SheetSummary &summary : model->sheets()) {
            if (summary.ID == id) {
                co_await model->open(summary);
                break;
            }
        }
    }
    co_return true;
}
