#pragma once

#include "app/Geometry.h"

// The window as every face draws it: caption, client size and controls, in
// twips (1440 to the inch; 15 to a pixel at 96 DPI).
namespace kelmor::app::layout {

inline constexpr const char* Caption = "KELMOR CSV File Creator";
inline constexpr int ClientWidth = 4320;
inline constexpr int ClientHeight = 1305;

struct Control {
    const char* name;
    int left;
    int top;
    int width;
    int height;
    const char* text;
    double points; // bold, in the layout's font
    // The text its font must show whole, and the pixels its frame takes
    // from the box (the port list's arrow, the button's edge).
    const char* widest = text;
    int insetX = 0;
    int insetY = 0;
};

inline constexpr Control Label1{"Label1", 120, 120, 4095, 735, "KELMOR File Creator 1.10", 18};
inline constexpr Control Label2{"Label2", 120, 840, 975, 255, "Comm Port", 8.25};
inline constexpr Control Combo1{"Combo1", 1080, 840, 1215, 315, "Comm 3", 8.25, "Comm 15", 24, 4};
inline constexpr Control cmdGetData{"cmdGetData", 2400, 720,       1815, 495,
                                    "Save As",    8.25, "Save As", 8,    8};

// The smallest a font is made to fit its box, and the step it shrinks by.
inline constexpr double SmallestPoints = 6.0;
inline constexpr double PointStep = 0.25;

// The control's size in points, made smaller a step at a time only where its
// widest text would be cut off. fits(points, width, height) measures that
// text at a size against the room in pixels.
template <typename Fits> double fittedPoints(const Control& c, Fits fits) {
    const int width = twipsToPixels(c.width) - c.insetX;
    const int height = twipsToPixels(c.height) - c.insetY;
    double points = c.points;
    while (points - PointStep >= SmallestPoints && !fits(points, width, height))
        points -= PointStep;
    return points;
}

} // namespace kelmor::app::layout
