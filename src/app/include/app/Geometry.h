#pragma once

namespace kelmor::app {

inline constexpr double TwipsPerPixel = 15.0;

// To the nearest pixel, a half rounded up: the one rule for sizes and
// places alike.
constexpr int twipsToPixels(double twips) {
    const double pixels = twips / TwipsPerPixel + 0.5;
    const int whole = static_cast<int>(pixels);
    return pixels < whole ? whole - 1 : whole; // floor, for places left of the screen
}
constexpr double pixelsToTwips(double pixels) {
    return pixels * TwipsPerPixel;
}

struct TwipsPoint {
    double left = 0;
    double top = 0;
    bool operator==(const TwipsPoint&) const = default;
};

struct TwipsSize {
    double width = 0;
    double height = 0;
};

// Centres a window of the given outer size on a screen, all in twips, with
// real division: the left edge may fall on half a twip.
constexpr TwipsPoint centredOrigin(const TwipsSize& screen, const TwipsSize& window) {
    return {(screen.width - window.width) / 2, (screen.height - window.height) / 2};
}

} // namespace kelmor::app
