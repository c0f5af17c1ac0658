// The module image: what a hand-written image becomes, what saving writes,
// and every way an image is refused without touching the module.
#include <gtest/gtest.h>

#include <cmath>
#include <nlohmann/json.hpp>
#include <string>

#include "components/value_sources.h"
#include "engine/messages.h"
#include "script/script_engine.h"
#include "tests/host/images.h"
#include "tests/host/module_fixture.h"

namespace korvel {
namespace {

using testing::ModuleTest;

std::string Module(const std::string& components, const std::string& rest = "") {
  return R"({"format": "korvel-module", "version": 1, "components": [)" + components + "]" + rest + "}";
}

TEST_F(ModuleTest, AHandWrittenImageTakesTheDefaults) {
  Load(Module(R"({"slot": 4, "type": 10}, {"slot": 2, "type": 0}, {"slot": 7, "type": 0},
                  {"slot": 1, "type": 1}, {"slot": 3, "type": 80})"));
  EXPECT_EQ(engine.slot_count, 8);
  EXPECT_EQ(engine.in_slot, 2) << "the lowest In";
  EXPECT_EQ(engine.out_slot, 1);
  const ComponentDescriptor& add = *engine.descriptor[4];
  EXPECT_STREQ(add.label, "x+y");
  EXPECT_EQ(add.x, 0);
  EXPECT_EQ(add.width, 80);
  EXPECT_EQ(add.height, 8 * 2 + 6);
  EXPECT_EQ(add.colour, kProcessingColour);
  EXPECT_EQ(static_cast<ConstantRecord*>(engine.record[3])->value, 0.0);
  EXPECT_STREQ(engine.name, "Untitled Korvel");
  EXPECT_EQ(engine.script_text, text::kDefaultScript);
  EXPECT_EQ(engine.context.parameter_values[0], 0.5);
  EXPECT_EQ(engine.context.parameter_values[25], 1.0);

  // "in" and "out" may name other components than the lowest, or none.
  Load(Module(R"({"slot": 0, "type": 0}, {"slot": 1, "type": 0}, {"slot": 2, "type": 1})",
              R"(, "in": 1, "out": -1)"));
  EXPECT_EQ(engine.in_slot, 1);
  EXPECT_EQ(engine.out_slot, -1);
}

TEST_F(ModuleTest, AnImageReplacesTheWholeModule) {
  Load(testing::kRichImage);
  EXPECT_EQ(engine.descriptor[5]->input_source_slot[1], 6);
  EXPECT_EQ(engine.descriptor[6]->output_target_slot[0], 5);
  EXPECT_EQ(engine.descriptor[6]->output_target_input[0], 1);
  EXPECT_EQ(static_cast<ConstantRecord*>(engine.record[6])->value, 2000.0);
  EXPECT_STREQ(engine.author, "Ada \xC3\xA9");
  EXPECT_STREQ(engine.parameter_names[2], "Cutoff");
  EXPECT_EQ(engine.parameter_kinds[1], 2u);

  engine.delay_lines[3][1000] = 7.0;
  engine.context.delay_position = 500;
  engine.selected_slot = 9;
  Load(Module(R"({"slot": 1, "type": 11, "label": "minus"})",
              R"(, "name": "Other", "script": ":Main\r\n( 1\r\n:\r\n", "unknown": [1, {"x": 2}])"));
  for (int s : {0, 2, 3, 5, 6, 7, 9}) EXPECT_FALSE(engine.IsOccupied(s)) << s;
  EXPECT_EQ(engine.slot_count, 2);
  EXPECT_EQ(engine.in_slot, -1);
  EXPECT_EQ(engine.selected_slot, -1);
  EXPECT_STREQ(engine.descriptor[1]->label, "minus");
  EXPECT_STREQ(engine.name, "Other");
  EXPECT_STREQ(engine.description, "") << "texts not in the image take their defaults";
  EXPECT_STREQ(engine.parameter_names[2], "");
  EXPECT_EQ(engine.context.parameter_values[0], 0.5);
  EXPECT_EQ(engine.delay_lines[3][1000], 0.0);
  EXPECT_EQ(engine.context.delay_position, 0u);
  EXPECT_FALSE(engine.script->Messages().empty()) << "the script's faults are kept";
}

TEST_F(ModuleTest, SavingAndLoadingGivesTheSameBytes) {
  for (const std::string& image :
       {std::string(testing::kRichImage), Module(""),
        Module(R"({"slot": 0, "type": 80, "value": "inf"}, {"slot": 1, "type": 80, "value": "nan"})")}) {
    Load(image);
    const std::string saved = Image();
    Load(saved);
    EXPECT_EQ(Image(), saved);
  }
  EXPECT_TRUE(std::isnan(static_cast<ConstantRecord*>(engine.record[1])->value));
}

TEST_F(ModuleTest, SavingWritesEveryField) {
  Load(testing::kRichImage);
  engine.context.parameter_values[4] = -INFINITY;  // a host may set anything
  engine.descriptor[3]->label[0] = static_cast<char>(0xE9);  // not UTF-8, still saved
  const nlohmann::json saved = nlohmann::json::parse(Image());
  for (const char* key : {"format", "version", "name", "author", "description", "script", "parameters", "in",
                          "out", "components", "connections"})
    EXPECT_TRUE(saved.contains(key)) << key;
  EXPECT_EQ(saved["parameters"].size(), 26u);
  EXPECT_EQ(saved["parameters"][4]["value"], "-inf");
  EXPECT_EQ(saved["connections"].size(), 7u);
  for (const char* key : {"slot", "type", "label", "x", "y", "width", "height", "colour", "value"})
    EXPECT_TRUE(saved["components"][2].contains(key)) << key;
  EXPECT_FALSE(saved["components"][3].contains("value")) << "only constants carry a value";
}

TEST_F(ModuleTest, LongTextsAreCutWithoutSplittingACharacter) {
  std::string long_name;
  for (int i = 0; i < 300; ++i) long_name += "\xC3\xA9";
  Load(Module(R"({"slot": 0, "type": 10, "label": ")" + long_name + R"("})", R"(, "name": ")" + long_name +
                                                                                  R"(")"));
  EXPECT_EQ(std::string(engine.name).size(), 254u);
  EXPECT_EQ(std::string(engine.descriptor[0]->label).size(), 126u);
}

TEST_F(ModuleTest, AnEmptyImageChangesNothing) {
  Load(testing::kRichImage);
  engine.delay_lines[0][5] = 1.0;
  const std::string before = Image();
  std::string error;
  EXPECT_TRUE(ReadModuleImage(engine, "", 0, error));
  EXPECT_EQ(Image(), before);
  EXPECT_EQ(engine.delay_lines[0][5], 1.0);
}

// Each refusal names its item and leaves every part of the module alone.
TEST_F(ModuleTest, BadImagesAreRefusedWithOneLineAndNoChange) {
  const std::string in_out = R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": 10},
                                {"slot": 3, "type": 10})";
  const auto wired = [&](const std::string& connections, const std::string& rest = "") {
    return Module(in_out, R"(, "connections": [)" + connections + "]" + rest);
  };
  std::string many_parameters = "{}";
  for (int p = 1; p < 27; ++p) many_parameters += ", {}";
  struct Case {
    std::string image;
    const char* says;
  };
  const Case cases[] = {
      {"{\n  \"format\": \"korvel-module\",\n  oops", "not JSON (line 3"},
      {"\xFF\xFE{}", "not JSON"},
      {"[1, 2]", "not an object"},
      {R"({"format": "korvel-module", "version": 1e999, "components": []})", "number in the text is too large"},
      {R"({"version": 1, "components": []})", "no \"format\""},
      {R"({"format": "other-thing", "version": 1, "components": []})", "\"other-thing\""},
      {R"({"format": 7, "version": 1, "components": []})", "\"format\" is not a text"},
      {R"({"format": "korvel-module", "components": []})", "no \"version\""},
      {R"({"format": "korvel-module", "version": 2, "components": []})", "version 2 is newer"},
      {R"({"format": "korvel-module", "version": 0, "components": []})", "version 0"},
      {R"({"format": "korvel-module", "version": "1", "components": []})", "\"version\" is not a whole number"},
      {R"({"format": "korvel-module", "version": 1})", "no \"components\""},
      {Module(R"({"type": 10})"), "component 0 has no \"slot\""},
      {Module(R"({"slot": 256, "type": 10})"), "outside 0..255"},
      {Module(R"({"slot": -1, "type": 10})"), "outside 0..255"},
      {Module(R"({"slot": 3, "type": 10}, {"slot": 3, "type": 11})"),
       "component 1 (slot 3): slot 3 is already used by component 0"},
      {Module(R"({"slot": 3})"), "component 0 (slot 3) has no \"type\""},
      {Module(R"({"slot": 3, "type": 6})"), "no component type 6"},
      {Module(R"({"slot": 3, "type": 200})"), "no component type 200"},
      {Module(R"({"slot": 3, "type": 10, "label": 5})"), "(slot 3): \"label\" is not a text"},
      {Module(R"({"slot": 3, "type": 10, "x": 1.5})"), "(slot 3): \"x\" is not a whole number"},
      {Module(R"({"slot": 3, "type": 10, "colour": -1})"), "(slot 3): \"colour\" is -1"},
      {Module(R"({"slot": 3, "type": 80, "value": "lots"})"), "(slot 3): \"value\" is not a number"},
      {Module("", R"(, "parameters": [)" + many_parameters + "]"), "27 entries, more than 26"},
      {Module("", R"(, "parameters": [{}, {"value": true}])"), "parameter 1: \"value\" is not a number"},
      {wired(R"({"from": [0, 0], "to": [7, 0]})"), "connection 0 (slot 0 output 0 to slot 7 input 0): slot 7 is empty"},
      {wired(R"({"from": [0, 16], "to": [2, 0]})"), "slot 0 has 16 outputs"},
      {wired(R"({"from": [0, 0], "to": [2, 2]})"), "slot 2 has 2 inputs"},
      {wired(R"({"from": [0, 0], "to": [2, 64]})"), "connection 0: port of \"to\" is 64"},
      {wired(R"({"from": [0, 0]})"), "connection 0 has no \"to\""},
      {wired(R"({"from": [0, 0], "to": [2]})"), "\"to\" is not [slot, port]"},
      {wired(R"({"from": [0, 0], "to": [2, 0]}, {"from": [0, 1], "to": [2, 0]})"),
       "connection 1 (slot 0 output 1 to slot 2 input 0): that input already has a source (connection 0)"},
      {wired(R"({"from": [0, 0], "to": [2, 0]}, {"from": [0, 0], "to": [3, 0]})"),
       "connection 1 (slot 0 output 0 to slot 3 input 0): that output already feeds an input (connection 0)"},
      {wired(R"({"from": [2, 0], "to": [3, 0]}, {"from": [3, 0], "to": [2, 1]})"),
       "connection 1 (slot 3 output 0 to slot 2 input 1) would close a cycle"},
      {wired(R"({"from": [2, 0], "to": [2, 0]})"), "connection 0 (slot 2 output 0 to slot 2 input 0) would close"},
      {wired("", R"(, "in": 1)"), "\"in\" names slot 1, which is not an In component"},
      {wired("", R"(, "out": 0)"), "\"out\" names slot 0, which is not an Out component"},
      {wired("", R"(, "out": 9)"), "\"out\" names slot 9, which is empty"},
  };
  Load(testing::kRichImage);
  engine.delay_lines[2][99] = 3.0;
  engine.context.delay_position = 77;
  const std::string before = Image();
  for (const Case& c : cases) {
    std::string error;
    EXPECT_FALSE(Read(c.image, error)) << c.image;
    EXPECT_NE(error.find(c.says), std::string::npos) << "said: " << error << "\nexpected: " << c.says;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
    EXPECT_EQ(Image(), before) << c.image;
  }
  EXPECT_EQ(engine.delay_lines[2][99], 3.0);
  EXPECT_EQ(engine.context.delay_position, 77u);
}

}  // namespace
}  // namespace korvel
