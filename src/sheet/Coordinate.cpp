#include "sheet/Coordinate.h"

#include <algorithm>

namespace {
constexpr qint64 maxRowNumber = 5000;
constexpr qint64 maxColumnNumber = 2000; // BXX
constexpr qsizetype maxColumnLetters = 3;
} // namespace

QString Coordinate::columnName(qint64 c) {
    QString letters;
    qint64 n = c;
    while (true) {
        letters.prepend(QChar(u'A' + static_cast<char16_t>(n % 26)));
        if (n <= 25)
            break;
        n = n / 26 - 1;
    }
    return letters;
}

QString Coordinate::ref() const { return columnName(c) + QString::number(r + 1); }

std::optional<Coordinate> Coordinate::parse(const QString &text) {
    const QString upper = text.trimmed().toUpper();
    qsizetype letters = 0;
    while (letters < upper.size() && upper[letters] >= u'A' && upper[letters] <= u'Z')
        ++letters;
    if (letters == 0 || letters > maxColumnLetters)
        return std::nullopt;
    const QString digits = upper.mid(letters);
    if (digits.isEmpty())
        return std::nullopt;
    // Accepts an optional sign, as an integer reading does; nothing else may follow the digits.
    qsizetype from = (digits[0] == u'+' || digits[0] == u'-') ? 1 : 0;
    if (from == digits.size() ||
        !std::all_of(digits.begin() + from, digits.end(), [](QChar ch) { return ch >= u'0' && ch <= u'9'; }))
        return std::nullopt;
    bool ok = false;
    const qint64 row = digits.toLongLong(&ok);
    if (!ok || row < 1 || row > maxRowNumber)
        return std::nullopt;
    qint64 column = 0;
    for (qsizetype i = 0; i < letters; ++i)
        column = column * 26 + (upper[i].unicode() - u'A' + 1);
    if (column > maxColumnNumber)
        return std::nullopt;
    return Coordinate{row - 1, column - 1};
}

std::optional<CellRange> CellRange::parse(const QString &text) {
    const QStringList pieces = text.split(u':', Qt::KeepEmptyParts);
    if (pieces.isEmpty() || pieces.size() > 2)
        return std::nullopt;
    const auto first = Coordinate::parse(pieces.first());
    const auto last = Coordinate::parse(pieces.last());
    if (!first || !last)
        return std::nullopt;
    return CellRange{{std::min(first->r, last->r), std::min(first->c, last->c)},
                     {std::max(first->r, last->r), std::max(first->c, last->c)}};
}

QList<Coordinate> CellRange::coordinates() const {
    QList<Coordinate> result;
    if (end.r < start.r || end.c < start.c)
        return result;
    result.reserve((end.r - start.r + 1) * (end.c - start.c + 1));
    for (qint64 r = start.r; r <= end.r; ++r)
        for (qint64 c = start.c; c <= end.c; ++c)
            result.append({r, c});
    return result;
}
