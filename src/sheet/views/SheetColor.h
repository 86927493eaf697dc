#pragma once

#include "sheet/SheetWire.h"

#include <QColor>
#include <QPalette>
#include <QString>

#include <optional>

// Cell colours: hex texts and OKLCH hue/chroma pairs from the server's styles, in light and dark.
class SheetColor {
public:
    // "#00ff00", "00ff00#": leading and trailing '#' stripped, the rest read as a hexadecimal number;
    // text that does not parse gives black.
    static QColor hex(const QString &text);
    // OKLCH (hue in degrees) to sRGB through OKLab, each channel clamped to 0...1.
    static QColor oklch(double l, double c, double h);

    // Lightness of OKLCH fills and inks in each scheme.
    static constexpr double fillLightnessLight = 0.92;
    static constexpr double fillLightnessDark = 0.3;
    static constexpr double inkLightnessLight = 0.42;
    static constexpr double inkLightnessDark = 0.8;

    // The style's fill: `fx`, else `fh`/`fc` at the scheme's lightness; nothing means clear.
    static std::optional<QColor> fill(const CellStyle *style, bool dark);
    // The style's ink: `k`, else `kh`/`kc` at the scheme's lightness; nothing means the label colour.
    static std::optional<QColor> ink(const CellStyle *style, bool dark);

    // `over` laid on `under` at `opacity`, as one opaque colour. Hairlines are drawn with it: a
    // translucent line down a tall widget makes Qt's raster engine hand each line to its thread pool.
    static QColor blend(const QColor &under, const QColor &over, double opacity);

    // A dark window colour means a dark scheme.
    static bool isDark(const QPalette &palette);
};
