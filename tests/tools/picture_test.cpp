// korvel draw and korvel plot, run as a user runs them: the numbers behind
// the response plot, and pixels of the patch picture where the editor's
// geometry puts boxes and wires.
#include <cairo.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "editor/module_view_geometry.h"
#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "tests/support/scratch_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
namespace mv = module_view;

using testing::Outcome;

struct Row {
  double hz, db[2], phase[2];
};

class PictureTest : public ::testing::Test {
 protected:
  testing::ScratchDir scratch{"picture"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  Outcome Korvel(const std::string& args) const { return scratch.Run(std::string(KORVEL_CLI) + " " + args); }

  // The rows of `korvel plot MODULE --csv ARGS`.
  std::vector<Row> Response(const std::string& module, const std::string& args = "") const {
    const Outcome run = Korvel("plot " + Example(module) + " --csv " + args);
    EXPECT_EQ(run.status, 0) << run.err;
    std::istringstream lines(run.out);
    std::string line;
    std::getline(lines, line);
    const bool phase = line.find("phase") != std::string::npos;
    std::vector<Row> rows;
    while (std::getline(lines, line)) {
      Row r{};
      const int fields = std::sscanf(line.c_str(), "%lf,%lf,%lf,%lf,%lf", &r.hz, &r.db[0], &r.db[1], &r.phase[0], &r.phase[1]);
      EXPECT_EQ(fields, phase ? 5 : 3) << line;
      rows.push_back(r);
    }
    return rows;
  }

};

// The row nearest `hz`.
const Row& At(const std::vector<Row>& rows, double hz) {
  const Row* best = &rows.front();
  for (const Row& r : rows)
    if (std::fabs(r.hz - hz) < std::fabs(best->hz - hz)) best = &r;
  return *best;
}

TEST_F(PictureTest, LowpassExampleIsAButterworthAt800Hz) {
  const auto rows = Response("lowpass.korvel");
  ASSERT_FALSE(rows.empty());
  EXPECT_NEAR(rows.front().hz, 20.0, 1.0);
  EXPECT_NEAR(rows.back().hz, 22050.0, 1e-6);
  for (int c = 0; c < 2; ++c) {
    EXPECT_NEAR(At(rows, 800).db[c], -3.01, 0.1) << c;
    // 12 dB per octave: an octave and two octaves above the cutoff, and
    // from the one to the other.
    EXPECT_NEAR(At(rows, 1600).db[c], -12.0, 0.5) << c;
    EXPECT_NEAR(At(rows, 3200).db[c], -24.0, 0.5) << c;
    EXPECT_NEAR(At(rows, 3200).db[c] - At(rows, 1600).db[c], -12.0, 0.5) << c;
    EXPECT_NEAR(At(rows, 20).db[c], 0.0, 0.01) << c;
  }
}

TEST_F(PictureTest, PassthroughIsFlatWithNoPhaseShiftAndNoNote) {
  const auto rows = Response("passthrough.korvel", "--what magnitude,phase");
  ASSERT_GT(rows.size(), 30000u);
  for (const Row& r : rows)
    for (int c = 0; c < 2; ++c) {
      ASSERT_NEAR(r.db[c], 0.0, 0.01) << r.hz;
      ASSERT_NEAR(r.phase[c], 0.0, 0.01) << r.hz;
    }
  EXPECT_EQ(Korvel("plot " + Example("passthrough.korvel") + " --csv").err, "");
}

// The echo's repeats come 11025 frames apart, long after the first
// silence: the whole decaying train must be measured for the comb to
// reach 1 / (1 - 0.5) and 1 / (1 + 0.5).
TEST_F(PictureTest, EchoCombHasItsFullDepth) {
  const auto rows = Response("echo.korvel");
  double lo = 1e9, hi = -1e9;
  for (const Row& r : rows) lo = std::min(lo, r.db[0]), hi = std::max(hi, r.db[0]);
  EXPECT_NEAR(hi, 20 * std::log10(2.0), 0.05);
  EXPECT_NEAR(lo, 20 * std::log10(2.0 / 3.0), 0.05);
}

TEST_F(PictureTest, NonLinearModulesAreNotedAtTheirTestLevel) {
  Outcome run = Korvel("plot " + Example("moog-drive.korvel") + " --csv --level -12");
  EXPECT_EQ(run.status, 0);
  EXPECT_NE(run.err.find("korvel: note: Non-linear"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("12.0 dBFS"), std::string::npos) << run.err;
  // And the level changes what it measures.
  const auto loud = Response("moog-drive.korvel", "--level 0");
  const auto quiet = Response("moog-drive.korvel", "--level -60");
  ASSERT_EQ(loud.size(), quiet.size());
  double largest = 0;
  for (std::size_t i = 0; i < loud.size(); ++i) largest = std::max(largest, std::fabs(loud[i].db[0] - quiet[i].db[0]));
  EXPECT_GT(largest, 1.0);
  run = Korvel("plot " + Example("lowpass.korvel") + " -o " + Path("r.svg") + " --what phase,impulse --set 3=0.25");
  EXPECT_EQ(run.status, 0) << run.err;
}

// The loudest alias `korvel plot --what aliases` reports, in dB under the
// tone.
double LoudestAlias(const Outcome& run) {
  const std::size_t at = run.err.find("loudest alias below 20 kHz: ");
  EXPECT_NE(at, std::string::npos) << run.err;
  return at == std::string::npos ? 0.0 : std::stod(run.err.substr(at + 28));
}

// Gain 4 into a hard clip at -12 dBFS, a sine at -12 dBFS: at the host's
// rate its harmonics fold back as loud as -10 dB; oversampled they leave
// the band, down to the clip's own folding at the running rate. A linear
// module at 16x shows what the filters add: nothing above -100 dB.
TEST_F(PictureTest, OversamplingKeepsAliasesOutOfTheBand) {
  const auto loudest = [&](const std::string& image, const std::string& tone) {
    std::ofstream(Path("m.korvel")) << image;
    return LoudestAlias(Korvel("plot " + Path("m.korvel") + " --csv --what aliases --level -12 --tone " + tone));
  };
  const auto clipper = [](int factor) {
    return R"({"format": "korvel-module", "version": 1, "oversampling": )" + std::to_string(factor) +
           R"(, "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12},
           {"slot": 3, "type": 80, "value": 4}, {"slot": 4, "type": 24}, {"slot": 5, "type": 80, "value": 8231}],
           "connections": [{"from": [0, 0], "to": [2, 0]}, {"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [4, 0]},
           {"from": [5, 0], "to": [4, 1]}, {"from": [4, 0], "to": [1, 0]}]})";
  };
  EXPECT_GT(loudest(clipper(1), "10000"), -15.0);
  EXPECT_LT(loudest(clipper(4), "10000"), -30.0);
  EXPECT_LT(loudest(clipper(16), "10000"), -55.0);
  EXPECT_LT(loudest(clipper(16), "1500"), -90.0);
  const std::string passthrough = R"({"format": "korvel-module", "version": 1, "oversampling": 16,
      "components": [{"slot": 0, "type": 0}, {"slot": 1, "type": 1}], "connections": [{"from": [0, 0], "to": [1, 0]}]})";
  EXPECT_LT(loudest(passthrough, "19000"), -100.0);
  const Outcome picture = Korvel("plot " + Example("drive-8x.korvel") + " -o " + Path("a.png") + " --what aliases");
  EXPECT_EQ(picture.status, 0) << picture.err;
}

struct Image {
  int width = 0, height = 0;
  std::vector<std::uint32_t> pixels;  // 0x00RRGGBB
  std::uint32_t at(int x, int y) const { return pixels[static_cast<std::size_t>(y) * width + x]; }
};

Image ReadPng(const std::string& path) {
  Image image;
  cairo_surface_t* s = cairo_image_surface_create_from_png(path.c_str());
  if (cairo_surface_status(s) == CAIRO_STATUS_SUCCESS) {
    image.width = cairo_image_surface_get_width(s);
    image.height = cairo_image_surface_get_height(s);
    const int stride = cairo_image_surface_get_stride(s);
    const unsigned char* data = cairo_image_surface_get_data(s);
    for (int y = 0; y < image.height; ++y)
      for (int x = 0; x < image.width; ++x)
        image.pixels.push_back(reinterpret_cast<const std::uint32_t*>(data + y * stride)[x] & 0xFFFFFF);
  }
  cairo_surface_destroy(s);
  return image;
}

std::uint32_t Rgb(std::uint32_t colourref) {
  return static_cast<std::uint32_t>(mv::RedOf(colourref) << 16 | mv::GreenOf(colourref) << 8 | mv::BlueOf(colourref));
}
int Brightness(std::uint32_t rgb) { return static_cast<int>((rgb >> 16) + (rgb >> 8 & 0xFF) + (rgb & 0xFF)); }

std::unique_ptr<PatchEngine> LoadExample(const std::string& path) {
  std::stringstream bytes;
  bytes << std::ifstream(path, std::ios::binary).rdbuf();
  auto engine = std::make_unique<PatchEngine>();
  engine->ResetEngine();
  std::string error;
  const std::string image = bytes.str();
  EXPECT_TRUE(ReadModuleImage(*engine, image.data(), image.size(), error)) << error;
  return engine;
}

TEST_F(PictureTest, DrawPutsBoxesAndWiresWhereTheEditorDoes) {
  const auto engine = LoadExample(Example("lowpass.korvel"));
  for (const int scale : {1, 2}) {
    const std::string png = Path("patch" + std::to_string(scale) + ".png");
    const Outcome run = Korvel("draw " + Example("lowpass.korvel") + " -o " + png + " --scale " + std::to_string(scale));
    ASSERT_EQ(run.status, 0) << run.err;
    const Image image = ReadPng(png);
    // Out to 50 past the furthest box: OUT at x 420 (80 wide), the
    // resonance constant at y 240 (14 high).
    EXPECT_EQ(image.width, 550 * scale);
    EXPECT_EQ(image.height, 304 * scale);
    if (image.width != 550 * scale || image.height != 304 * scale) continue;
    EXPECT_EQ(image.at(2, 2), Rgb(mv::kBackground));
    for (int s = 0; s < engine->SlotCount(); ++s) {
      const ComponentDescriptor* d = engine->Descriptor(s);
      if (d == nullptr) continue;
      // The centre column, clear of the label: tall boxes well above it,
      // one-row boxes in their top pixel row.
      const int y = d->height > 20 ? d->y + d->height / 2 - 12 : d->y;
      EXPECT_EQ(image.at(scale * (d->x + d->width / 2), scale * y), Rgb(d->colour)) << d->label;
      for (int k = 0; k < d->output_count; ++k) {
        const mv::Rect port = mv::OutputPort(d->x, d->y, k);
        EXPECT_EQ(image.at(scale * port.left + scale / 2, scale * port.top + scale / 2), Rgb(mv::kPortColour)) << d->label;
      }
      for (int j = 0; j < d->input_count; ++j) {
        const int from = d->input_source_slot[j];
        if (from == kNoSlot) continue;
        const ComponentDescriptor& f = *engine->Descriptor(from);
        const mv::Bezier c = mv::WireCurve(mv::OutputStart(f.x, f.y, d->input_source_output[j]), mv::InputEnd(d->x, d->y, j));
        const int mx = (c.p0.x + 3 * c.p1.x + 3 * c.p2.x + c.p3.x) / 8, my = (c.p0.y + c.p3.y) / 2;
        int darkest = 765;
        for (int dy = -1; dy <= 1; ++dy)
          for (int dx = -1; dx <= 1; ++dx) darkest = std::min(darkest, Brightness(image.at(scale * mx + dx, scale * my + dy)));
        EXPECT_LT(darkest, Brightness(Rgb(mv::kBackground)) / 2) << f.label << " -> " << d->label;
      }
    }
  }
  ASSERT_EQ(Korvel("draw " + Example("echo.korvel") + " -o " + Path("echo.svg")).status, 0);
  std::stringstream svg;
  svg << std::ifstream(Path("echo.svg")).rdbuf();
  EXPECT_NE(svg.str().find("<svg"), std::string::npos);
  EXPECT_NE(svg.str().find("width=\"850px\""), std::string::npos) << svg.str().substr(0, 300);  // OUT at x 720, 80 wide
}

// A module written without positions is drawn laid out: IN, the constant
// and OUT side by side (not stacked at the origin), OUT furthest right.
TEST_F(PictureTest, AModuleWithoutPositionsIsDrawnLaidOut) {
  std::ofstream(Path("bare.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [)"
                                     << R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 12},)"
                                     << R"({"slot": 3, "type": 80}], "connections": [{"from": [0, 0], "to": [2, 0]},)"
                                     << R"({"from": [3, 0], "to": [2, 1]}, {"from": [2, 0], "to": [1, 0]}]})";
  ASSERT_EQ(Korvel("draw bare.korvel -o bare.png").status, 0);
  const Image bare = ReadPng(Path("bare.png"));
  // Three columns of boxes 80 wide, 60 apart, from 20 in, and the margin.
  EXPECT_EQ(bare.width, 20 + 3 * 80 + 2 * 60 + 50);
}

// 16,384 pixels on a side and 64 megapixels at most: a box far out makes
// no 4 GB picture, and one at the edge still draws.
TEST_F(PictureTest, DrawsUpToThePictureBoundAndRefusesBeyond) {
  const auto module = [&](int x, int y) {
    const std::string name = "at" + std::to_string(x) + "_" + std::to_string(y) + ".korvel";
    std::ofstream(Path(name)) << R"({"format": "korvel-module", "version": 1, "components": [)"
                              << R"({"slot": 0, "type": 80, "label": "far", "x": )" << x << R"(, "y": )" << y << "}]}";
    return name;
  };
  // The picture reaches 50 past the box, which is 80 wide and 14 high.
  ASSERT_EQ(Korvel("draw " + module(16254, 0) + " -o edge.png").status, 0);
  const Image edge = ReadPng(Path("edge.png"));
  EXPECT_EQ(edge.width, 16384);
  EXPECT_EQ(edge.height, 64);
  const struct {
    int x, y;
    const char* says;
  } beyond[] = {
      {16255, 0, "the picture would be 16,385 x 64 pixels"},
      {10000, 10000, "the picture would be 10,130 x 10,064 pixels"},
      {32000, 32000, "the picture would be 32,130 x 32,064 pixels"},
      {1048576, 1048576, "the picture would be 1,048,706 x 1,048,640 pixels"},
  };
  for (const auto& b : beyond) {
    const std::string name = module(b.x, b.y);
    const Outcome run = Korvel("draw " + name + " -o far.png");
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "korvel: '" + name + "': cannot draw the patch: " + b.says +
                           "; at most 16,384 on a side and 64 megapixels in all (slot 0 'far' is at (" +
                           std::to_string(b.x) + ", " + std::to_string(b.y) + "))\n");
  }
  EXPECT_FALSE(fs::exists(Path("far.png")));
  ASSERT_EQ(Korvel("draw " + module(16255, 0) + " -o half.png --scale 0.5").status, 0);
  EXPECT_EQ(ReadPng(Path("half.png")).width, 8193);
}

TEST_F(PictureTest, BothRefuseABadModuleAndLeaveNoFile) {
  std::ofstream(Path("bad.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [{"slot": 300, "type": 0}]})";
  for (const auto& [command, output] : {std::pair{"draw", "out.png"}, {"draw", "out.svg"}, {"plot", "out.png"}, {"plot", ""}}) {
    const std::string args = std::string(command) + " " + Path("bad.korvel") +
                             (*output != '\0' ? " -o " + Path(output) : std::string(" --csv"));
    const Outcome run = Korvel(args);
    EXPECT_EQ(run.status, 1) << args;
    EXPECT_EQ(run.err.rfind("korvel: ", 0), 0u) << run.err;
    EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    EXPECT_NE(run.err.find("300"), std::string::npos) << run.err;
    EXPECT_EQ(run.out, "") << args;
  }
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir()), fs::directory_iterator()), 2) << "bad.korvel, stderr.txt";
  for (const char* args : {"draw x.korvel -o y.gif", "plot x.korvel", "plot x.korvel --csv -o y.png",
                           "plot x.korvel --csv --what loudness", "plot x.korvel --csv --set 26=0.5",
                           "plot x.korvel --csv --set 3=2", "draw x.korvel -o y.png --scale 0"})
    EXPECT_EQ(Korvel(args).status, 2) << args;
  EXPECT_EQ(Korvel("plot " + Example("lowpass.korvel") + " --csv --set Cutoff=0.5").status, 1);
}

}  // namespace
}  // namespace korvel
