#include "sheet/views/SheetColor.h"

#include <algorithm>
#include <cmath>
#include <numbers>

QColor SheetColor::hex(const QString &text) {
    qsizetype first = 0;
    qsizetype last = text.size();
    while (first < last && text.at(first) == u'#')
        ++first;
    while (last > first && text.at(last - 1) == u'#')
        --last;
    bool ok = false;
    quint64 value = text.mid(first, last - first).toULongLong(&ok, 16);
    if (!ok)
        value = 0;
    return QColor(int((value >> 16) & 255), int((value >> 8) & 255), int(value & 255));
}

namespace {
double toSrgbTransfer(double linear) {
    if (linear <= 0.0031308)
        return 12.92 * linear;
    return 1.055 * std::pow(linear, 1.0 / 2.4) - 0.055;
}
} // namespace

QColor SheetColor::oklch(double l, double c, double h) {
    const double radians = h * std::numbers::pi / 180.0;
    const double a = c * std::cos(radians);
    const double b = c * std::sin(radians);

    const double lp = l + 0.3963377774 * a + 0.2158037573 * b;
    const double mp = l - 0.1055613458 * a - 0.0638541728 * b;
    const double sp = l - 0.0894841775 * a - 1.2914855480 * b;
    const double lms[3] = {lp * lp * lp, mp * mp * mp, sp * sp * sp};

    const double linear[3] = {
        4.0767416621 * lms[0] - 3.3077115913 * lms[1] + 0.2309699292 * lms[2],
        -1.2684380046 * lms[0] + 2.6097574011 * lms[1] - 0.3413193965 * lms[2],
        -0.0041960863 * lms[0] - 0.7034186147 * lms[1] + 1.7076147010 * lms[2],
    };
    double channel[3];
    for (int i = 0; i < 3; ++i)
        channel[i] = std::clamp(toSrgbTransfer(linear[i]), 0.0, 1.0);
    return QColor::fromRgbF(float(channel[0]), float(channel[1]), float(channel[2]));
}

std::optional<QColor> SheetColor::fill(const CellStyle *style, bool dark) {
    if (!style)
        return std::nullopt;
    if (style->fx)
        return hex(*style->fx);
    if (style->fh && style->fc)
        return oklch(dark ? fillLightnessDark : fillLightnessLight, *style->fc, *style->fh);
    return std::nullopt;
}

std::optional<QColor> SheetColor::ink(const CellStyle *style, bool dark) {
    if (!style)
        return std::nullopt;
    if (style->k)
        return hex(*style->k);
    if (style->kh && style->kc)
        return oklch(dark ? inkLightnessDark : inkLightnessLight, *style->kc, *style->kh);
    return std::nullopt;
}

QColor SheetColor::blend(const QColor &under, const QColor &over, double opacity) {
    const auto channel = [opacity](double below, double above) { return below + (above - below) * opacity; };
    return QColor::fromRgbF(float(channel(under.redF(), over.redF())), float(channel(under.greenF(), over.greenF())),
                            float(channel(under.blueF(), over.blueF())));
}

bool SheetColor::isDark(const QPalette &palette) {
    return palette.color(QPalette::Window).lightnessF() < 0.5;
}
