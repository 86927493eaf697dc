#pragma once

#include "FakeTransport.h"

#include <nlohmann/json.hpp>

#include <QMap>

#include <functional>

// One sheet served from memory through a FakeTransport: the page, tiles, batch writes, format and
// size requests, like the real server but without formulas. Tests read what was posted and choose
// which batch to refuse.
class FakeSheetServer {
public:
    FakeSheetServer(std::shared_ptr<FakeTransport> transport, qint64 rows, qint64 cols, bool mayWrite = true);

    void setCell(qint64 r, qint64 c, const std::string &raw, const std::string &format = {});
    void setStyle(const std::string &key, nlohmann::json style) { m_styles[key] = std::move(style); }

    quint64 version = 1;
    QList<int> batchSizes;        // writes per posted batch
    QList<nlohmann::json> posted; // every JSON body posted, in order
    QMap<QString, int> statusFor; // a forced status per path suffix ("/size", "/format")
    int refuseBatch = 0;          // 1-based batch to refuse with `refuseStatus`; 0 for none
    int refuseStatus = 409;
    std::function<void()> onBatch;                   // runs while a batch travels (before it is answered)
    nlohmann::json sizes = nlohmann::json::object(); // stored sizes the tiles carry ("cols", "rows")

private:
    NativeResponse answer(const FakeTransport::Request &request);
    NativeResponse tile();
    NativeResponse batch(const nlohmann::json &body);

    qint64 m_rows;
    qint64 m_cols;
    bool m_mayWrite;
    std::map<std::pair<qint64, qint64>, nlohmann::json> m_cells;
    nlohmann::json m_styles = nlohmann::json::object();
};
