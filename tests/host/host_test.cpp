// The plug-in as a host sees it: loaded at run time from beside this
// program, driven through its exports and its table of operations only.
#include <gtest/gtest.h>

#include <limits>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "tests/host/images.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel {
namespace {

using pluginhost::Module;

class HostTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string error;
    library_ = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error).release();
    ASSERT_NE(library_, nullptr) << error;
  }
  static void TearDownTestSuite() { delete library_; }
  static std::unique_ptr<Module> NewModule(const char* image = nullptr) {
    auto module = Module::Create(*library_);
    module->Init();
    if (image != nullptr) module->RestoreImage(image);
    return module;
  }
  static pluginhost::Library* library_;
};
pluginhost::Library* HostTest::library_ = nullptr;

TEST_F(HostTest, ExportsDeclareThePortsAndInitRegistersThem) {
  EXPECT_STREQ(library_->module_name(), "Korvel Modular");
  EXPECT_FALSE(library_->create_adapter_handler() || library_->has_adapter_handler());
  const ModuleInfoRecord* info = library_->module_info(nullptr);
  ASSERT_NE(info, nullptr);
  pluginhost::RecordingPortDeclarer ports;
  EXPECT_EQ(library_->module_info(&ports), info) << "the same record every time";
  using Call = std::tuple<int, std::string, std::int32_t>;
  std::vector<Call> calls;
  for (const auto& d : ports.declarations) calls.emplace_back(d.operation, d.port, d.flag);
  EXPECT_EQ(calls, (std::vector<Call>{{1, "automation", 1}, {1, "notes", 1}, {1, "audio", 1}, {2, "audio", 1}}));
  auto module = NewModule();
  std::vector<std::pair<std::string, std::int32_t>> registered;  // each by RegisterPort
  for (const auto& r : module->host().registrations) registered.emplace_back(r.port, r.flag);
  EXPECT_EQ(registered, (decltype(registered){{"audio", 0}, {"notes", 0}, {"automation", 0}}));
  EXPECT_EQ(module->Notes(nullptr), 0);
}

// Every slot, called by its index with arguments of its shape: a wrong slot
// or argument count shows up as a wrong answer or a damaged module.
TEST_F(HostTest, EverySlotAnswersThroughTheTable) {
  auto module = NewModule();
  char text[kHostTextSize] = "";
  ParameterValueRecord record{};
  EXPECT_EQ(module->Call<std::int32_t>(0), 0);
  for (int slot : {5, 6, 7}) EXPECT_EQ(module->Call<std::int32_t>(slot, 0, static_cast<char*>(text)), 1) << slot;
  for (int slot : {8, 9, 10}) EXPECT_EQ(module->Call<std::int32_t>(slot, 3, &record), 1) << slot;
  EXPECT_EQ(record.value, 0.5);
  record.value = 0.75;
  EXPECT_EQ(module->Call<std::int32_t>(11, 3, &record), 1);
  for (int slot : {12, 13}) module->Call<void>(slot);
  module->Call<void>(14, 7, 8);
  EXPECT_EQ(module->Call<std::int32_t>(15, 0), 2);
  EXPECT_TRUE(module->Call<bool>(16, 0, 1, static_cast<char*>(text)));
  EXPECT_FALSE(module->Call<bool>(16, 0, 2, static_cast<char*>(text)));
  EXPECT_STREQ(text, "&About...") << "nothing written for an unknown item";
#ifndef _WIN32
  EXPECT_TRUE(module->Call<bool>(17, 0, 1));  // the About box is headless here
#endif
  EXPECT_FALSE(module->Call<bool>(17, 1, 0));
  module->Call<void>(18, 1, 2);
  module->Call<void>(19, 1);
  EXPECT_FALSE(module->Call<bool>(20, 1));
  EXPECT_EQ(module->Call<std::int32_t>(21, 1, 2), 0);
  module->Call<void>(22, 1);
  EXPECT_EQ(module->ParameterValue(3), 0.75) << "still intact";
}

TEST_F(HostTest, ParametersNamesDisplaysAndAutomation) {
  auto module = NewModule();
  for (int p = 0; p < 25; ++p) EXPECT_EQ(module->ParameterName(p), "") << p;
  EXPECT_EQ(module->ParameterDisplay(0), "50");
  EXPECT_EQ(module->ParameterDisplay(25), "0.79%");
  EXPECT_EQ(module->SetParameterValue(26, 0.1), 0);
  std::int32_t controllers[3] = {0, 7, 65535};
  AutomationEventRecord events[3] = {};
  for (auto& e : events) e.value.value = 0.9;
  AutomationEventList list{};
  list.controllers = controllers, list.events = events, list.count = 3;
  EXPECT_EQ(module->Automation(&list), 0);
  for (int p = 0; p < 25; ++p) EXPECT_EQ(module->ParameterValue(p), 0.5) << "the initial range binds nothing";

  // Unknown kinds answer 0 and write nothing.
  const std::pair<unsigned, const char*> kinds[] = {{0, "25"}, {1, "25.00%"}, {2, "-50.00%"}, {3, "-75.00%"},
                                                    {5, "250.00 ms"}, {6, "125.00 ms"}, {7, "12.50 ms"}, {8, "-"}};
  for (const auto& [kind, shown] : kinds) {
    module->RestoreImage(testing::ImageWithDepth(kind));
    EXPECT_EQ(module->ParameterName(3), "Depth");
    char text[kHostTextSize] = "-";
    EXPECT_EQ(module->Call<std::int32_t>(7, 3, static_cast<char*>(text)), kind < 8 ? 1 : 0) << kind;
    EXPECT_STREQ(text, shown) << kind;
  }
}

TEST_F(HostTest, FloatsPassThroughExactlyOrComeBackSilent) {
  auto module = NewModule();
  std::vector<float> silent(2 * 300, 1234.5f);
  EXPECT_EQ(module->Audio(silent.data(), 300), 0) << "no OUT yet";
  EXPECT_EQ(silent, std::vector<float>(2 * 300, 0.0f));
  module->RestoreImage(testing::kPassThroughImage);
  std::vector<float> block = {32767.0f, -32768.0f, 0.1f, -0.1f, 1e-30f, 12345.678f};
  const std::vector<float> original = block;
  EXPECT_EQ(module->Audio(block.data(), 3), 24);
  EXPECT_EQ(block, original);
  float untouched[2] = {5.0f, 6.0f};
  EXPECT_EQ(module->Audio(untouched, 0), 0);
  EXPECT_EQ(untouched[0], 5.0f) << "n = 0 does nothing";
}

// What the host receives is always finite: NaN and infinities become 0.0,
// counted where the command-line host can read them.
TEST_F(HostTest, NonFiniteSamplesReachTheHostAsZeroAndAreCounted) {
  auto module = NewModule(testing::kDivideByZeroImage);
  std::vector<float> block = {0.0f, 5.0f, -5.0f, 0.0f};
  EXPECT_EQ(module->Audio(block.data(), 2), 16);
  EXPECT_EQ(block, std::vector<float>(4, 0.0f));
  EXPECT_EQ(module->NonFiniteCount(), 4u);
  auto clean = NewModule(testing::kPassThroughImage);
  std::vector<float> fine = {1.0f, -1.0f};
  clean->Audio(fine.data(), 1);
  EXPECT_EQ(clean->NonFiniteCount(), 0u) << "each module counts its own";
}

// Gain and a one-sample delay: a seam between the 4096-frame pieces of a long
// block would show as a wrong sample at 4096 or 8192.
TEST_F(HostTest, LongBlocksAreProcessedInPiecesWithoutASeam) {
  auto whole = NewModule(testing::kHalfAndDelayImage), small = NewModule(testing::kHalfAndDelayImage);
  constexpr std::uint32_t kFrames = 10000;
  std::vector<float> a(2 * kFrames);
  for (std::uint32_t i = 0; i < 2 * kFrames; ++i) a[i] = static_cast<float>((i % 2 ? -1.0 : 1.0) * (i / 2 + 1));
  std::vector<float> b = a;
  EXPECT_EQ(whole->Audio(a.data(), kFrames), static_cast<std::int32_t>(8 * kFrames));
  for (std::uint32_t f = 0; f < kFrames; f += 100) small->Audio(b.data() + 2 * f, 100);
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[2 * 4096], 4096 * 0.5f);
  EXPECT_EQ(a[2 * 8192 + 1], -8192 * 0.5f);
}

// A host that declares its rate gets it in the module, and parameter changes
// restore that rate rather than 44100; a rate out of range changes nothing.
TEST_F(HostTest, ADeclaredSampleRateHoldsThroughParameterChanges) {
  auto module = NewModule(testing::kSampleRateImage);
  auto rate = [&] {
    float block[2] = {1.0f, 1.0f};
    module->Audio(block, 1);
    return block[0];
  };
  EXPECT_EQ(rate(), 44100.0f);
  EXPECT_TRUE(module->SetSampleRate(48000.0));
  EXPECT_EQ(rate(), 48000.0f);
  module->SetParameterValue(0, 0.3);
  EXPECT_EQ(rate(), 48000.0f) << "SetParameterValue restores the declared rate";
  for (double bad : {0.0, -44100.0, 999.0, 1e9, std::numeric_limits<double>::quiet_NaN()})
    EXPECT_FALSE(module->SetSampleRate(bad)) << bad;
  EXPECT_EQ(rate(), 48000.0f);
  EXPECT_TRUE(module->SetSampleRate(44100.0));  // other tests share the process-wide timing
  EXPECT_EQ(rate(), 44100.0f);
}

TEST_F(HostTest, RestoredModuleSavesTheSameBytesAndSoundsTheSame) {
  auto a = NewModule(testing::kRichImage), b = NewModule();
  const std::vector<std::uint8_t> chunk = a->SaveState().bytes;
  EXPECT_EQ(b->RestoreState(chunk).read_position, chunk.size());
  EXPECT_EQ(b->SaveState().bytes, chunk);
  std::vector<float> x(2 * 3000);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = static_cast<float>(((i * 7919) % 2001) - 1000.0);
  std::vector<float> y = x;
  for (std::size_t f = 0; f < 3000; f += 500) {
    a->Audio(x.data() + 2 * f, 500);
    b->Audio(y.data() + 2 * f, 500);
  }
  EXPECT_EQ(x, y);
  EXPECT_NE(x, std::vector<float>(x.size(), 0.0f)) << "the module made sound";
}

// A refused or empty chunk is read to its end and changes nothing; no box
// opens inside the host's call (on Windows too), and the refusal's reason is
// kept for the host to ask for until a chunk is accepted.
TEST_F(HostTest, ABadChunkIsReadCompletelyChangesNothingAndKeepsItsReason) {
  auto module = NewModule(testing::kRichImage);
  const std::string before = module->SaveImage();
  std::vector<std::uint8_t> huge(4 + 1000, 'x');
  huge[0] = huge[1] = huge[2] = 0, huge[3] = 0x10;  // says 256 MiB, holds 1000 bytes
  const std::pair<std::vector<std::uint8_t>, const char*> cases[] = {
      {pluginhost::ChunkOf(""), ""},
      {pluginhost::ChunkOf("garbage"), "the host's project: not a module: the text is not JSON (line 1, column 1)"},
      {huge, "the module state is too large (268435456 bytes; at most 4194304)"}};
  for (const auto& [chunk, reason] : cases) {
    EXPECT_EQ(module->RestoreState(chunk).read_position, chunk.size());
    EXPECT_EQ(module->SaveImage(), before);
    EXPECT_NE(module->StateProblem().find(reason), std::string::npos) << module->StateProblem();
  }
  module->RestoreImage(testing::kPassThroughImage);
  EXPECT_EQ(module->StateProblem(), "") << "an accepted chunk clears the reason";
}

}  // namespace
}  // namespace korvel
