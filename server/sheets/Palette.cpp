#include "sheets/Palette.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numbers>

const std::vector<Palette::Swatch> &Palette::fills() {
    static const std::vector<Swatch> swatches = {
        {"red", "Red", 25, 0.08},        {"orange", "Orange", 60, 0.09}, {"yellow", "Yellow", 95, 0.1},
        {"green", "Green", 145, 0.08},   {"teal", "Teal", 190, 0.07},    {"blue", "Blue", 250, 0.07},
        {"purple", "Purple", 305, 0.07}, {"pink", "Pink", 350, 0.07},    {"gray", "Grey", 0, 0},
    };
    return swatches;
}

const std::vector<Palette::Swatch> &Palette::inks() {
    static const std::vector<Swatch> swatches = {
        {"red", "Red", 25, 0.2},     {"orange", "Orange", 55, 0.17},  {"green", "Green", 145, 0.16},
        {"blue", "Blue", 255, 0.19}, {"purple", "Purple", 305, 0.18}, {"gray", "Grey", 0, 0},
    };
    return swatches;
}

static std::optional<Palette::Swatch> findIn(const std::vector<Palette::Swatch> &swatches,
                                             std::string_view name) {
    const auto it =
        std::find_if(swatches.begin(), swatches.end(), [&](const auto &s) { return s.name == name; });
    if (it == swatches.end())
        return std::nullopt;
    return *it;
}

std::optional<Palette::Swatch> Palette::fill(std::string_view name) {
    return findIn(fills(), name);
}

std::optional<Palette::Swatch> Palette::ink(std::string_view name) {
    return findIn(inks(), name);
}

std::string Palette::hex(double lightness, double chroma, double hue) {
    const double radians = hue * std::numbers::pi / 180.0;
    const double a = chroma * std::cos(radians);
    const double b = chroma * std::sin(radians);
    const double l_ = lightness + 0.3963377774 * a + 0.2158037573 * b;
    const double m_ = lightness - 0.1055613458 * a - 0.0638541728 * b;
    const double s_ = lightness - 0.0894841775 * a - 1.2914855480 * b;
    const double l = l_ * l_ * l_;
    const double m = m_ * m_ * m_;
    const double s = s_ * s_ * s_;
    const double linear[3] = {
        4.0767416621 * l - 3.3077115913 * m + 0.2309699292 * s,
        -1.2684380046 * l + 2.6097574011 * m - 0.3413193965 * s,
        -0.0041960863 * l - 0.7034186147 * m + 1.7076147010 * s,
    };
    int channels[3];
    for (int i = 0; i < 3; ++i) {
        const double x = linear[i];
        double encoded = x <= 0.0031308 ? 12.92 * x : 1.055 * std::pow(x, 1.0 / 2.4) - 0.055;
        encoded = std::clamp(encoded, 0.0, 1.0);
        channels[i] = static_cast<int>(std::lround(encoded * 255));
    }
    char buffer[8];
    std::snprintf(buffer, sizeof buffer, "#%02x%02x%02x", channels[0], channels[1], channels[2]);
    return buffer;
}
