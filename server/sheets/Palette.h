#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

// The fill and text colours offered by the format menu. Colours are stored as OKLCH hue and chroma
// so that the client picks the lightness for its light or dark appearance.
class Palette {
public:
    struct Swatch {
        std::string name;
        std::string label;
        double hue;
        double chroma;
    };

    static const std::vector<Swatch> &fills();
    static const std::vector<Swatch> &inks();
    static std::optional<Swatch> fill(std::string_view name);
    static std::optional<Swatch> ink(std::string_view name);
    // "#rrggbb" of an OKLCH colour, for previews drawn without the client's appearance.
    static std::string hex(double lightness, double chroma, double hue);
    static constexpr double lightFillLightness = 0.92;
};
