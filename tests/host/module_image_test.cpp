// The module image: what loading replaces, what saving writes back, and
// every way an image is refused without touching the module.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

#include "components/value_sources.h"
#include "script/script_engine.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"
#include "tests/support/engine_test_access.h"

namespace korvel {
namespace {

using testing::ModuleTest;

std::string Module(const std::string& components, const std::string& rest = "") {
  return R"({"format": "korvel-module", "version": 1, "components": [)" + components + "]" + rest + "}";
}

TEST_F(ModuleTest, AnImageReplacesTheWholeModule) {
  Load(testing::kRichImage);
  ASSERT_TRUE(engine.ReserveDelayLines());
  EngineTestAccess::Line(engine, 3)[1000] = 7.0;
  EngineTestAccess::Context(engine).delay_position = 500;
  engine.Editor().selected_slot = 9;
  Load(Module(R"({"slot": 4, "type": 0}, {"slot": 2, "type": 0}, {"slot": 1, "type": 11})",
              R"(, "name": "Other")"));
  for (int s : {0, 3, 5, 6, 7, 9}) EXPECT_FALSE(engine.IsOccupied(s)) << s;
  EXPECT_EQ(engine.SlotCount(), 5);
  EXPECT_EQ(engine.InSlot(), 2) << "the lowest In";
  EXPECT_EQ(engine.OutSlot(), -1);
  EXPECT_EQ(engine.Editor().selected_slot, -1);
  EXPECT_EQ(engine.ModuleDescription(), "") << "what the image leaves out takes its default";
  EXPECT_EQ(engine.Context().parameter_values[0], 0.5);
  EXPECT_EQ(engine.Controllers().Get(1), kNoController) << "the rich image bound it to 74";
  EXPECT_EQ(engine.DelayLine(3)[1000], 0.0);
  // The audio thread owns the position: the next block restarts it (and
  // with no OUT does not move it).
  EXPECT_EQ(engine.Context().delay_position, 500u);
  engine.ProcessBlock(10);
  engine.BlockDone();
  EXPECT_EQ(engine.Context().delay_position, 0u);
}

// Loading compiles the module's script afresh: nothing of the previous
// module's compiled state is left beside it.
TEST_F(ModuleTest, TheCompiledStateAfterTwoLoadsHoldsTheLastModulesFunctionsOnly) {
  const auto with_script = [](const char* script) {
    return Module("", std::string(R"(, "script": ")") + script + "\"");
  };
  Load(with_script(R"(:first\r\n( 1 )\r\n:\r\n:second\r\n( 2 )\r\n:\r\n)"));
  ASSERT_EQ(engine.Script()->Functions().size(), 2u);
  Load(with_script(R"(:third\r\n( 3 )\r\n:\r\n)"));
  ASSERT_EQ(engine.Script()->Functions().size(), 1u);
  EXPECT_TRUE(engine.Script()->RunFunction("third"));
  EXPECT_FALSE(engine.Script()->RunFunction("first"));
}

TEST_F(ModuleTest, SavingAndLoadingGivesTheSameBytes) {
  for (const std::string& image :
       {std::string(testing::kRichImage), Module(""), Module("", R"(, "oversampling": 8)"),
        Module(R"({"slot": 0, "type": 80, "value": "inf"}, {"slot": 1, "type": 80, "value": "nan"})")}) {
    Load(image);
    const std::string saved = Image();
    Load(saved);
    EXPECT_EQ(Image(), saved);
  }
  EXPECT_TRUE(std::isnan(static_cast<const ConstantRecord*>(engine.Record(1))->value));
  Load(testing::kRichImage);
  EXPECT_EQ(engine.Controllers().Get(1), 74);
  EXPECT_NE(Image().find(R"({"name": "Feedback", "kind": 2, "controller": 74, "value": 0.75})"), std::string::npos)
      << "a controller is written where one is bound, and only there";
  EXPECT_EQ(Image().find(R"("controller": -1)"), std::string::npos);
}

// One image per check; each refusal is one line naming its item, and leaves
// every part of the module alone. An empty image is no refusal, no change.
TEST_F(ModuleTest, BadImagesAreRefusedWithOneLineAndNoChange) {
  const auto wired = [](const std::string& connections, const std::string& rest = "") {
    return Module(R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 10}, {"slot": 3, "type": 10})",
                  R"(, "connections": [)" + connections + "]" + rest);
  };
  std::string twenty_five_empty;
  for (int p = 0; p < kNamedParameterCount; ++p) twenty_five_empty += "{}, ";
  const std::pair<std::string, const char*> cases[] = {
      {"{\n  \"format\": \"korvel-module\",\n  oops", "not JSON (line 3"},
      {R"({"format": "korvel-module", "version": 11e308, "components": []})", "a number in the text is too large"},
      {R"({"format": "other-thing", "version": 1, "components": []})", "\"format\" is \"other-thing\""},
      {R"({"format": "korvel-module", "version": 2, "components": []})", "version 2 is newer"},
      {Module(R"({"slot": 256, "type": 10})"), "component 0: \"slot\" is 256, outside 0..255"},
      {Module(R"({"slot": 3, "type": 10}, {"slot": 3, "type": 11})"),
       "component 1 (slot 3): slot 3 is already used by component 0"},
      {Module(R"({"slot": 3, "type": 6})"), "component 0 (slot 3): there is no component type 6"},
      {wired(R"({"from": [0, 0], "to": [7, 0]})"), "connection 0 (slot 0 output 0 to slot 7 input 0): slot 7 is empty"},
      {wired(R"({"from": [0, 0], "to": [2, 2]})"), "connection 0 (slot 0 output 0 to slot 2 input 2): slot 2 has 2"},
      {wired(R"({"from": [0, 0], "to": [2, 0]}, {"from": [0, 1], "to": [2, 0]})"),
       "connection 1 (slot 0 output 1 to slot 2 input 0): that input already has a source (connection 0)"},
      {wired(R"({"from": [0, 0], "to": [2, 0]}, {"from": [0, 0], "to": [3, 0]})"),
       "connection 1 (slot 0 output 0 to slot 3 input 0): that output already feeds an input (connection 0)"},
      {wired(R"({"from": [2, 0], "to": [3, 0]}, {"from": [3, 0], "to": [2, 1]})"),
       "connection 1 (slot 3 output 0 to slot 2 input 1) would close a cycle"},
      {wired("", R"(, "in": 1)"), "\"in\" names slot 1, which is not an In component"},
      {wired("", R"(, "out": 0)"), "\"out\" names slot 0, which is not an Out component"},
      {wired("", R"(, "conections": [])"), "unknown key \"conections\" (did you mean \"connections\"?)"},
      {Module(R"({"slot": 3, "type": 80, "valeu": 2})"),
       "component 0 (slot 3): unknown key \"valeu\" (did you mean \"value\"?)"},
      {Module("", R"(, "oversampling": 3)"), "\"oversampling\" is 3, but it must be 1, 2, 4, 8 or 16 (the nearest is 4)"},
      {Module("", R"(, "oversampling": 100)"), "\"oversampling\" is 100, but it must be 1, 2, 4, 8 or 16 (the nearest is 16)"},
      {Module("", R"(, "oversampling": "nan")"), "\"oversampling\" is \"nan\", but it must be 1, 2, 4, 8 or 16 (the nearest is 1)"},
      {Module("", R"(, "oversampling": "four")"), "\"oversampling\" is not a number"},
      {wired(R"({"from": [0, 0], "too": [2, 0]})"), "connection 0: unknown key \"too\" (did you mean \"to\"?)"},
      {Module("", R"(, "parameters": [{"controller": 128}])"), "parameter 0: \"controller\" is 128, outside -1..127"},
      {Module("", R"(, "parameters": [{"controller": 1.5}])"), "parameter 0: \"controller\" is not a whole number"},
      {Module("", R"(, "parameters": [)" + twenty_five_empty + R"({"controller": 1}])"),
       "parameter 25: the extra parameter has no controller"},
      // Boxes stay reachable: on the canvas, and big enough to click.
      {Module(R"({"slot": 3, "type": 10, "x": 1048577})"), "component 0 (slot 3): \"x\" is 1048577, outside 0..1048576"},
      {Module(R"({"slot": 3, "type": 10, "y": -1})"), "component 0 (slot 3): \"y\" is -1, outside 0..1048576"},
      {Module(R"({"slot": 3, "type": 10, "width": 0})"), "component 0 (slot 3): \"width\" is 0, outside 1..32767"},
      {Module(R"({"slot": 3, "type": 10, "height": -14})"), "component 0 (slot 3): \"height\" is -14, outside 1..32767"},
      // Strict: nothing after the closing brace (a NUL ends the parser's
      // text, not the refusal), and every key once per object.
      {Module("") + "\n x", "there is more after the module's closing brace (line 2, column 2)"},
      {Module("") + std::string("\n\0{}", 4), "there is more after the module's closing brace (line 2, column 1)"},
      {"{\"format\": \"korvel-module\", \"version\": 1, \"components\": [\n{\"slot\": 3, \"type\": 80,\n"
       "\"value\": 1, \"valu\\u0065\": 2}]}",
       "duplicate key \"value\" (line 3)"},
      {std::string(kMaxModuleImageSize + 1, ' '), "the module image is too large (4194305 bytes; at most 4194304)"},
      {R"({"format": "korvel-module", "version": 1, "components": [], "notes": [)" + std::string(300000, '[') +
           std::string(300000, ']') + "]}",
       "the module image holds too many values"},
  };
  Load(testing::kRichImage);
  ASSERT_TRUE(engine.ReserveDelayLines());
  EngineTestAccess::Line(engine, 2)[99] = 3.0;
  EngineTestAccess::Context(engine).delay_position = 77;
  const std::string before = Image();
  for (const auto& [image, says] : cases) {
    std::string error;
    EXPECT_FALSE(Read(image, error)) << image;
    EXPECT_NE(error.find(says), std::string::npos) << "said: " << error << "\nexpected: " << says;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(Image(), before) << image;
  }
  std::string error;
  EXPECT_TRUE(Read("", error)) << error;
  EXPECT_EQ(Image(), before);
  EXPECT_EQ(engine.DelayLine(2)[99], 3.0);
  EXPECT_EQ(engine.Context().delay_position, 77u);
}

// The value limit holds to the value, whatever the text's strings hold
// (brackets, commas, colons and escaped quotes inside them count nothing).
TEST(ModuleImageLimit, TheValueLimitIsExact) {
  const auto with_values = [](std::size_t total) {
    // The root, the format, the version, the components list and the
    // "x" list are five values; a tricky string is the sixth.
    std::string text = R"({"format": "korvel-module", "version": 1, "components": [], "x": ["\\\"[,:[\"", )";
    for (std::size_t i = 7; i < total; ++i) text += "0,";
    return text + "0]}";
  };
  std::string error;
  const std::string at = with_values(kMaxModuleImageValues), over = with_values(kMaxModuleImageValues + 1);
  EXPECT_FALSE(CheckModuleImage(at.data(), at.size(), error));
  EXPECT_NE(error.find("unknown key \"x\""), std::string::npos) << "at the limit the text is read: " << error;
  EXPECT_FALSE(CheckModuleImage(over.data(), over.size(), error));
  EXPECT_NE(error.find("too many values"), std::string::npos) << error;
}

}  // namespace
}  // namespace korvel
