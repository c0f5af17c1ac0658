// How the Module View lays out and colours a patch: box ports, wire end
// points, the wire's Bézier control points, the colours and the label
// font. Platform-free, so pictures drawn away from Windows (korvel draw)
// put every pixel where the editor does.
#pragma once

#include <cstdint>

namespace korvel::module_view {

// Colours as 0x00BBGGRR, the order the boxes' own colours are stored in.
inline constexpr std::uint32_t kBackground = 0xF0EFEF;
inline constexpr std::uint32_t kWireColour = 0x602F2F;
inline constexpr std::uint32_t kPortColour = 0x000000;
inline constexpr std::uint32_t kLabelColour = 0x000000;
inline constexpr std::uint32_t kSelectionColour = 0xFFFFFF;

constexpr int RedOf(std::uint32_t colour) { return static_cast<int>(colour & 0xFF); }
constexpr int GreenOf(std::uint32_t colour) { return static_cast<int>((colour >> 8) & 0xFF); }
constexpr int BlueOf(std::uint32_t colour) { return static_cast<int>((colour >> 16) & 0xFF); }

// Box labels: the engine's first font, a 13-pixel cell (ascent plus
// descent, as a positive font height asks for), bold, centred on one line
// and clipped to the box.
inline constexpr char kLabelFace[] = "Arial";
inline constexpr int kLabelCellHeight = 13;
inline constexpr int kLabelWeight = 700;

inline constexpr int kWireWidth = 1;
inline constexpr int kPortPitch = 8;  // one port row per 8 pixels
inline constexpr int kPortSize = 4;
inline constexpr int kPortTop = 4;          // first square's top, from the box's top
inline constexpr int kInputPortLeft = 4;    // from the box's left
inline constexpr int kOutputPortLeft = 72;  // from the box's left
inline constexpr int kWireRow = 6;          // a wire meets its port 6 below the row's top
inline constexpr int kOutputColumn = 70;    // px > x + 70: the output ports
inline constexpr int kInputColumn = 10;     // px < x + 10: the input ports, for a drop
inline constexpr int kMargin = 50;          // room right of and below the last box

struct Point {
  int x, y;
};

// Right and bottom are exclusive, as in a filled rectangle.
struct Rect {
  int left, top, right, bottom;
};

struct Bezier {
  Point p0, p1, p2, p3;
};

// Port squares of a box whose corner is at (x, y).
constexpr Rect InputPort(int x, int y, int j) {
  const int top = y + kPortPitch * j + kPortTop;
  return {x + kInputPortLeft, top, x + kInputPortLeft + kPortSize, top + kPortSize};
}
constexpr Rect OutputPort(int x, int y, int k) {
  const int top = y + kPortPitch * k + kPortTop;
  return {x + kOutputPortLeft, top, x + kOutputPortLeft + kPortSize, top + kPortSize};
}

// A wire starts on the right edge of its output square and ends on the
// left edge of its input square.
constexpr Point OutputStart(int x, int y, int k) { return {x + kOutputPortLeft + kPortSize, y + kPortPitch * k + kWireRow}; }
constexpr Point InputEnd(int x, int y, int j) { return {x + kInputPortLeft, y + kPortPitch * j + kWireRow}; }

// Both control points sit halfway across (integer division, truncated
// toward zero), at the start's and the end's height.
constexpr Bezier WireCurve(Point start, Point end) {
  const int mid = start.x + (end.x - start.x) / 2;
  return {start, {mid, start.y}, {mid, end.y}, end};
}

}  // namespace korvel::module_view
