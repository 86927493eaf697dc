#include "sheet/SheetModel.h"

QCoro::Task<bool> SheetModel::rename(QString title) {
    auto self = shared_from_this();
    // Built before the co_await: GCC 12 miscompiles initializer lists inside one.
    FormFields fields;
    fields.insert(QStringLiteral("title"), title);
    const QString path = QStringLiteral("/rename");
    const bool ok = co_await command(path, fields);
    if (!ok)
        co_return false;
    co_await loadList();
    if (m_page) {
        const quint64 id = m_page->Sheet.ID;
        for (const SheetSummary &summary : m_sheets) {
            if (summary.ID == id) {
                co_await open(summary);
                break;
            }
        }
    }
    co_return true;
}
