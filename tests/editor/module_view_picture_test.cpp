// The Module View paints an example module where the shared geometry says
// (the geometry `korvel draw` paints with too), and leaves a screenshot to
// set beside that command's picture.
#include <filesystem>
#include <string>

#include "editor/module_view_geometry.h"
#include "engine/module_file.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

namespace mv = module_view;

// examples/, from build/<preset>/bin/editor_tests.exe.
std::string ExamplePath(const char* name) {
  char exe[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, exe, MAX_PATH);
  return (std::filesystem::path(exe).parent_path() / ".." / ".." / ".." / "examples" / name).string();
}

COLORREF Colour(std::uint32_t c) { return RGB(mv::RedOf(c), mv::GreenOf(c), mv::BlueOf(c)); }

TEST_F(EditorTest, TheModuleViewPaintsAnExampleWhereTheSharedGeometrySays) {
  std::string error;
  ASSERT_TRUE(LoadModuleFile(*engine, ExamplePath("echo.korvel"), error)) << error;
  MoveWindow(Main(), 0, 0, 1200, 520, TRUE);
  Pump();
  Screenshot(View(), "module-view-echo");

  HDC dc = GetDC(View());
  int checked = 0;
  for (int t = 0; t < engine->SlotCount(); ++t) {
    if (!engine->IsOccupied(t)) continue;
    const ComponentDescriptor& d = D(t);
    EXPECT_EQ(GetPixel(dc, d.x + 1, d.y + d.height - 2), Colour(d.colour)) << d.label;
    for (int k = 0; k < d.output_count; ++k) {
      const mv::Rect port = mv::OutputPort(d.x, d.y, k);
      EXPECT_EQ(GetPixel(dc, port.left, port.top), Colour(mv::kPortColour)) << d.label << " out" << k + 1;
      EXPECT_EQ(GetPixel(dc, port.right, port.top), Colour(d.colour)) << d.label << " out" << k + 1;
    }
    for (int j = 0; j < d.input_count; ++j) {
      const int s = d.input_source_slot[j];
      if (s == kNoSlot) continue;
      // The curve's middle, at t = 1/2, lies halfway between its ends.
      const mv::Bezier c = mv::WireCurve(mv::OutputStart(D(s).x, D(s).y, d.input_source_output[j]),
                                         mv::InputEnd(d.x, d.y, j));
      const int mx = (c.p0.x + 3 * c.p1.x + 3 * c.p2.x + c.p3.x) / 8, my = (c.p0.y + c.p3.y) / 2;
      bool wire = false;  // within a pixel, whatever the rasteriser rounds
      for (int dy = -1; dy <= 1; ++dy)
        for (int dx = -1; dx <= 1; ++dx) wire = wire || GetPixel(dc, mx + dx, my + dy) == Colour(mv::kWireColour);
      EXPECT_TRUE(wire) << D(s).label << " -> " << d.label;
      ++checked;
    }
  }
  ReleaseDC(View(), dc);
  EXPECT_GE(checked, 10) << "the echo example's wires";
}

}  // namespace
}  // namespace korvel::testing
