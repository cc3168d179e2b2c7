#pragma once

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
};

inline constexpr Control Label1{"Label1", 120, 120, 4095, 735, "KELMOR File Creator 1.10", 18};
inline constexpr Control Label2{"Label2", 120, 840, 975, 255, "Comm Port", 8.25};
inline constexpr Control Combo1{"Combo1", 1080, 840, 1215, 315, "Comm 3", 8.25};
inline constexpr Control cmdGetData{"cmdGetData", 2400, 720, 1815, 495, "Save As", 8.25};

// The widest item the port list holds, for fitting its font.
inline constexpr const char* WidestPort = "Comm 15";
// The smallest a font is made to fit its box.
inline constexpr double SmallestPoints = 6.0;

} // namespace kelmor::app::layout
