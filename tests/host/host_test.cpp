// The plug-in as a host sees it: loaded at run time from beside this
// program, driven through its exports and its table of operations only.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "tests/host/images.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

using pluginhost::Library;
using pluginhost::Module;

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    library_ = Library::Load(pluginhost::DefaultLibraryPath(), error).release();
    ASSERT_NE(library_, nullptr) << error;
  }
  static void TearDownTestSuite() {
    delete library_;
    library_ = nullptr;
  }

  static std::unique_ptr<Module> NewModule() {
    auto module = Module::Create(*library_);
    EXPECT_NE(module, nullptr);
    module->Init();
    return module;
  }
  static Library& library() { return *library_; }

  static Library* library_;
};

Library* HostTest::library_ = nullptr;

// ------------------------------------------------------------------ exports

TEST_F(HostTest, ExportsDeclareThePortsAndInitRegistersThem) {
  EXPECT_STREQ(library().module_name(), "Korvel Modular");
  EXPECT_EQ(library().create_adapter_handler(), nullptr);
  EXPECT_FALSE(library().has_adapter_handler());

  const ModuleInfoRecord* info = library().module_info(nullptr);
  ASSERT_NE(info, nullptr);
  EXPECT_STREQ(info->name, "Korvel Modular");
  EXPECT_STREQ(info->short_name, "Korvel");
  EXPECT_EQ(info->first, 16);
  EXPECT_EQ(info->second, 1);

  pluginhost::RecordingPortDeclarer ports;
  EXPECT_EQ(library().module_info(&ports), info) << "the same static record every time";
  const pluginhost::PortDeclaration expected[] = {
      {1, "automation", 1}, {1, "notes", 1}, {1, "audio", 1}, {2, "audio", 1}};
  ASSERT_EQ(ports.declarations.size(), 4u);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(ports.declarations[i].operation, expected[i].operation) << i;
    EXPECT_EQ(ports.declarations[i].port, expected[i].port) << i;
    EXPECT_EQ(ports.declarations[i].flag, 1) << i;
  }

  auto module = NewModule();
  const auto& r = module->host().registrations;
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[0].port, "audio");
  EXPECT_EQ(r[1].port, "notes");
  EXPECT_EQ(r[2].port, "automation");
  for (const auto& registration : r) {
    EXPECT_EQ(registration.flag, 0);
    EXPECT_NE(registration.callback, nullptr);
  }
  EXPECT_EQ(module->Notes(nullptr), 0);
}

// ---------------------------------------------------- the table, by index

// Every slot of the table, called by its index with arguments of its shape.
TEST_F(HostTest, EverySlotAnswersThroughTheTable) {
  auto module = NewModule();
  char text[kHostTextSize];
  ParameterValueRecord record{};

  EXPECT_EQ(module->Call<std::int32_t>(0), 0);
  // 1 (Init) ran in NewModule; 2 and 3 have their own tests.
  EXPECT_EQ(module->Call<std::int32_t>(4), 26);
  EXPECT_EQ(module->Call<std::int32_t>(5, 0, static_cast<char*>(text)), 1);
  EXPECT_EQ(module->Call<std::int32_t>(6, 24, static_cast<char*>(text)), 1);
  EXPECT_EQ(module->Call<std::int32_t>(7, 0, static_cast<char*>(text)), 1);
  EXPECT_STREQ(text, "50");
  EXPECT_EQ(module->Call<std::int32_t>(8, 3, &record), 1);
  EXPECT_EQ(module->Call<std::int32_t>(9, 3, &record), 1);
  EXPECT_EQ(module->Call<std::int32_t>(10, 3, &record), 1);
  EXPECT_EQ(record.value, 0.5);
  record.value = 0.75;
  EXPECT_EQ(module->Call<std::int32_t>(11, 3, &record), 1);
  module->Call<void>(12);
  module->Call<void>(13);
  module->Call<void>(14, 7, 8);
  EXPECT_EQ(module->Call<std::int32_t>(15, 0), 2);
  EXPECT_EQ(module->Call<std::int32_t>(15, 1), 0);
  EXPECT_TRUE(module->Call<bool>(16, 0, 0, static_cast<char*>(text)));
  EXPECT_STREQ(text, "&Edit Module...");
  EXPECT_TRUE(module->Call<bool>(16, 0, 1, static_cast<char*>(text)));
  EXPECT_STREQ(text, "&About...");
  std::memset(text, 'x', sizeof text);
  EXPECT_FALSE(module->Call<bool>(16, 0, 2, static_cast<char*>(text)));
  EXPECT_FALSE(module->Call<bool>(16, 1, 0, static_cast<char*>(text)));
  EXPECT_EQ(text[0], 'x') << "nothing written for an unknown item";
#ifndef _WIN32
  // The editor is Windows-only: elsewhere the commands answer and open nothing.
  EXPECT_TRUE(module->Call<bool>(17, 0, 0));
  EXPECT_TRUE(module->Call<bool>(17, 0, 1));
#endif
  EXPECT_FALSE(module->Call<bool>(17, 0, 2));
  EXPECT_FALSE(module->Call<bool>(17, 1, 0));
  module->Call<void>(18, 1, 2);
  module->Call<void>(19, 1);
  EXPECT_FALSE(module->Call<bool>(20, 1));
  EXPECT_EQ(module->Call<std::int32_t>(21, 1, 2), 0);
  module->Call<void>(22, 1);
  // Still intact after every call: the argument counts matched.
  EXPECT_EQ(module->ParameterValue(3), 0.75);
  EXPECT_EQ(module->Call<std::int32_t>(4), 26);
}

// --------------------------------------------------------------- parameters

TEST_F(HostTest, NewModuleParametersAndTheirRecords) {
  auto module = NewModule();
  for (int p = 0; p < 25; ++p) {
    std::int32_t answer = -1;
    EXPECT_EQ(module->ParameterName(p, &answer), "") << p;
    EXPECT_EQ(answer, 1) << p;
    EXPECT_EQ(module->ParameterValue(p), 0.5) << p;
  }
  std::int32_t name_answer = -1, display_answer = -1;
  module->ParameterName(25, &name_answer);
  module->ParameterDisplay(26, &display_answer);
  EXPECT_EQ(name_answer, 0) << "parameter 25 has no name";
  EXPECT_EQ(display_answer, 0);
  EXPECT_EQ(module->ParameterValue(25), 1.0);
  EXPECT_EQ(module->ParameterDisplay(25), "0.79%");

  ParameterValueRecord record;
  std::memset(&record, 0xAB, sizeof record);
  EXPECT_EQ(module->Call<std::int32_t>(8, 99, &record), 1) << "every index";
  EXPECT_EQ(record.value, 0.0);
  EXPECT_EQ(record.integer, 0);
  EXPECT_EQ(module->Call<std::int32_t>(9, -5, &record), 1);
  EXPECT_EQ(record.value, 1.0);
  EXPECT_EQ(record.integer, 1);
  module->SetParameterValue(7, -1.5);
  module->Call<std::int32_t>(10, 7, &record);
  EXPECT_EQ(record.value, -1.5);
  EXPECT_EQ(record.integer, -1) << "toward zero";
  for (std::uint8_t byte : record.host_reserved) EXPECT_EQ(byte, 0xAB) << "the host's bytes";
  EXPECT_EQ(module->SetParameterValue(26, 0.1), 0);
  EXPECT_EQ(module->SetParameterValue(25, 0.1), 1);
  EXPECT_EQ(module->ParameterValue(25), 0.1);
}

TEST_F(HostTest, DisplayFollowsTheParameterKind) {
  auto module = NewModule();
  struct Case {
    int kind;
    const char* text;
    std::int32_t answer;
  };
  // Parameter 3 at 0.25 under each kind.
  const Case cases[] = {{0, "25", 1},         {1, "25.00%", 1},     {2, "-50.00%", 1},
                        {3, "-75.00%", 1},    {4, "untouched", 1},  {5, "250.00 ms", 1},
                        {6, "125.00 ms", 1},  {7, "12.50 ms", 1},   {8, "untouched", 0},
                        {1000, "untouched", 0}};
  for (const Case& c : cases) {
    module->RestoreImage(testing::ImageWithParameter(3, "Depth", c.kind, 0.25));
    EXPECT_EQ(module->ParameterName(3), "Depth");
    char text[kHostTextSize] = "untouched";
    EXPECT_EQ(module->Call<std::int32_t>(7, 3, static_cast<char*>(text)), c.answer) << c.kind;
    EXPECT_STREQ(text, c.text) << c.kind;
  }
  module->SetParameterValue(25, 0.5);
  EXPECT_EQ(module->ParameterDisplay(25), "0.39%");
  module->RestoreImage(testing::ImageWithParameter(3, "Depth", 0, -0.004));
  EXPECT_EQ(module->ParameterDisplay(3), "0") << "no negative zero";
  module->SetParameterValue(3, 1e300);
  EXPECT_LT(module->ParameterDisplay(3).size(), kHostTextSize) << "cut to the host's buffer";
}

TEST_F(HostTest, AutomationWithTheInitialRangeChangesNothing) {
  auto module = NewModule();
  std::int32_t controllers[3] = {0, 7, 65535};
  AutomationEventRecord events[3] = {};
  for (auto& e : events) e.value.value = 0.9;
  AutomationEventList list{};
  list.controllers = controllers;
  list.events = events;
  for (std::int32_t count : {0, -1, 3}) {
    list.count = count;
    EXPECT_EQ(module->Automation(&list), 0);
  }
  for (int p = 0; p < 25; ++p) EXPECT_EQ(module->ParameterValue(p), 0.5);
}

// -------------------------------------------------------------------- audio

TEST_F(HostTest, FloatsPassThroughExactlyOrComeBackSilent) {
  auto module = NewModule();
  std::vector<float> silent(2 * 300, 1234.5f);
  EXPECT_EQ(module->Audio(silent.data(), 300), 0) << "no OUT yet";
  for (float v : silent) ASSERT_EQ(v, 0.0f);

  module->RestoreImage(testing::kPassThroughImage);
  std::vector<float> block = {32767.0f, -32768.0f, 0.1f, -0.1f, 1e-30f, 12345.678f};
  const std::vector<float> original = block;
  EXPECT_EQ(module->Audio(block.data(), 3), 24);
  EXPECT_EQ(block, original);

  float untouched[2] = {5.0f, 6.0f};
  EXPECT_EQ(module->Audio(untouched, 0), 0);
  EXPECT_EQ(untouched[0], 5.0f) << "n = 0 does nothing";
}

TEST_F(HostTest, LongBlocksAreProcessedInPiecesWithoutASeam) {
  // Gain and a one-sample delay: a seam between pieces would show as a
  // wrong sample at 4096 or 8192.
  auto whole = NewModule(), small = NewModule();
  whole->RestoreImage(testing::kHalfAndDelayImage);
  small->RestoreImage(testing::kHalfAndDelayImage);
  constexpr std::uint32_t kFrames = 10000;
  std::vector<float> a(2 * kFrames), b;
  for (std::uint32_t i = 0; i < 2 * kFrames; ++i) a[i] = static_cast<float>((i % 2 ? -1.0 : 1.0) * (i / 2 + 1));
  b = a;
  const std::vector<float> input = a;
  EXPECT_EQ(whole->Audio(a.data(), kFrames), static_cast<std::int32_t>(8 * kFrames));
  for (std::uint32_t f = 0; f < kFrames; f += 100) small->Audio(b.data() + 2 * f, 100);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[0], 0.0f);
  EXPECT_EQ(a[2 * 4096], input[2 * 4095] * 0.5f);
  EXPECT_EQ(a[2 * 8192 + 1], input[2 * 8191 + 1] * 0.5f);
}

// -------------------------------------------------------------- state chunk

TEST_F(HostTest, TheChunkIsTheLengthThenTheImageAndAnEmptyOneChangesNothing) {
  auto module = NewModule();
  const pluginhost::MemoryStream fresh = module->SaveState();
  ASSERT_EQ(fresh.calls.size(), 2u);
  EXPECT_EQ(fresh.calls[0].first, 22);
  EXPECT_EQ(fresh.calls[1].first, 14);
  const std::string image = pluginhost::ImageOf(fresh.bytes);
  EXPECT_EQ(fresh.calls[1].second, image.size());
  EXPECT_NE(image.find("\"name\": \"Untitled Korvel\""), std::string::npos);

  module->RestoreImage(testing::kRichImage);
  const std::string before = module->SaveImage();
  const pluginhost::MemoryStream stream = module->RestoreState(pluginhost::ChunkOf(""));
  EXPECT_EQ(stream.read_position, stream.bytes.size());
  ASSERT_EQ(stream.calls.size(), 2u);
  EXPECT_EQ(stream.calls[0].first, 11);
  EXPECT_EQ(stream.calls[1], (std::pair<int, std::uint32_t>(3, 0)));
  EXPECT_EQ(module->SaveImage(), before);
}

TEST_F(HostTest, RestoredModuleSavesTheSameBytesAndSoundsTheSame) {
  auto a = NewModule(), b = NewModule();
  a->RestoreImage(testing::kRichImage);
  const std::vector<std::uint8_t> chunk = a->SaveState().bytes;
  const pluginhost::MemoryStream read = b->RestoreState(chunk);
  EXPECT_EQ(read.read_position, chunk.size());
  EXPECT_EQ(b->SaveState().bytes, chunk);
  EXPECT_EQ(b->ParameterName(2), "Cutoff");
  EXPECT_EQ(b->ParameterValue(2), 0.125);
  EXPECT_EQ(b->ParameterDisplay(2), "125.00 ms");

  std::vector<float> x(2 * 3000), y;
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(((i * 7919) % 2001) - 1000.0);
  y = x;
  for (std::size_t f = 0; f < 3000; f += 500) {
    a->Audio(x.data() + 2 * f, 500);
    b->Audio(y.data() + 2 * f, 500);
  }
  EXPECT_EQ(x, y);
  bool any = false;
  for (float v : x) any = any || v != 0.0f;
  EXPECT_TRUE(any) << "the module made sound";
}

#ifndef _WIN32
// On Windows a refused chunk is a message box; here the message goes to the
// headless interface and the module stays as it was.
TEST_F(HostTest, ABadChunkIsReadCompletelyAndChangesNothing) {
  auto module = NewModule();
  module->RestoreImage(testing::kRichImage);
  const std::string before = module->SaveImage();
  for (const char* bad : {"{", "garbage", R"({"format": "korvel-module", "version": 2, "components": []})"}) {
    const pluginhost::MemoryStream stream = module->RestoreState(pluginhost::ChunkOf(bad));
    EXPECT_EQ(stream.read_position, stream.bytes.size()) << bad;
    EXPECT_EQ(module->SaveImage(), before) << bad;
  }
  // A length beyond what the module reads is skipped over in full.
  std::vector<std::uint8_t> huge(4 + 1000, 'x');
  huge[0] = huge[1] = huge[2] = 0;
  huge[3] = 0x10;  // 256 MiB
  const pluginhost::MemoryStream stream = module->RestoreState(huge);
  EXPECT_EQ(stream.read_position, huge.size());
  EXPECT_EQ(module->SaveImage(), before);
}
#endif

}  // namespace
}  // namespace korvel
