#include "FakeSheetServer.h"

#include "SheetFixtures.h"

using nlohmann::json;

FakeSheetServer::FakeSheetServer(std::shared_ptr<FakeTransport> transport, qint64 rows, qint64 cols,
                                 bool mayWrite)
    : m_rows(rows), m_cols(cols), m_mayWrite(mayWrite) {
    transport->setHandler([this](const FakeTransport::Request &request) -> QCoro::Task<NativeResponse> {
        co_return answer(request);
    });
}

void FakeSheetServer::setCell(qint64 r, qint64 c, const std::string &raw, const std::string &format) {
    json cell = fixtures::cellJson(r, c, raw);
    if (!format.empty())
        cell["f"] = format;
    m_cells[{r, c}] = std::move(cell);
}

NativeResponse FakeSheetServer::answer(const FakeTransport::Request &request) {
    if (request.path == QStringLiteral("/sheets/1"))
        return fixtures::answer(200, fixtures::pageJson(1, 1, m_rows, m_cols, m_mayWrite));
    if (request.method == QStringLiteral("GET"))
        return tile();
    const json body = json::parse(request.body.value_or(QByteArray()).toStdString());
    posted.append(body);
    for (auto it = statusFor.cbegin(); it != statusFor.cend(); ++it) {
        if (request.path.endsWith(it.key()))
            return fixtures::answer(it.value(), "{}");
    }
    if (request.path.endsWith(QStringLiteral("/cells/batch")))
        return batch(body);
    // Format and size: answer with the styles and one more version.
    return fixtures::answer(200, fixtures::gridJson(++version, json::array(), {{"formats", m_styles}}));
}

NativeResponse FakeSheetServer::tile() {
    json cells = json::array();
    for (const auto &entry : m_cells)
        cells.push_back(entry.second);
    json extra = {{"formats", m_styles}};
    if (!sizes.empty())
        extra["sizes"] = sizes;
    return fixtures::answer(200, fixtures::gridJson(version, cells, extra));
}

NativeResponse FakeSheetServer::batch(const json &body) {
    batchSizes.append(int(body.at("cells").size()));
    if (onBatch)
        onBatch();
    if (batchSizes.size() == refuseBatch)
        return fixtures::answer(refuseStatus, "{}");
    json cells = json::array();
    for (const auto &write : body.at("cells")) {
        setCell(write.at("r"), write.at("c"), write.at("raw"));
        cells.push_back(m_cells[{write.at("r"), write.at("c")}]);
    }
    return fixtures::answer(200, fixtures::gridJson(++version, cells));
}
