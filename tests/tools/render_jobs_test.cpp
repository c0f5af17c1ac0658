// korvel render on the everyday jobs: equalisers against sox, tails that
// ring out, batches, sample-rate conversion, files of many channels,
// standard input of every type, dither, and the checker's findings that
// depend on the rate. Run as a user runs it; audio read back with
// libsndfile.
#include <gtest/gtest.h>
#include <sndfile.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "tests/support/scratch_dir.h"

namespace korvel {
namespace {

namespace fs = std::filesystem;
using testing::Outcome;

struct Audio {
  int rate = 0, channels = 0, format = 0;
  std::vector<double> samples;
  std::size_t frames() const { return channels ? samples.size() / channels : 0; }
  double at(std::size_t frame, int channel) const { return samples[frame * channels + channel]; }
};

class RenderJobsTest : public ::testing::Test {
 protected:
  testing::ScratchDir scratch{"jobs"};
  std::string Path(const std::string& name) const { return scratch.Path(name); }
  Outcome Shell(const std::string& line) const { return scratch.Run(line); }
  Outcome Korvel(const std::string& args) const { return Shell(std::string(KORVEL_CLI) + " " + args); }
  static std::string Example(const std::string& name) { return std::string(KORVEL_EXAMPLES) + "/" + name; }

  void Write(const std::string& name, const std::vector<float>& samples, int channels, int rate,
             int format = SF_FORMAT_WAV | SF_FORMAT_FLOAT) const {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(Path(name).c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
    sf_writef_float(file, samples.data(), static_cast<sf_count_t>(samples.size() / channels));
    sf_close(file);
  }

  // Noise below full scale, the same every run.
  static std::vector<float> Noise(std::size_t values, float level = 0.1f) {
    std::vector<float> v(values);
    std::uint32_t state = 99;
    for (float& x : v) {
      state = state * 1664525u + 1013904223u;
      x = level * (static_cast<float>(state >> 8) / 8388608.0f - 1.0f);
    }
    return v;
  }

  Audio Read(const std::string& name) const {
    Audio audio;
    SF_INFO info{};
    SNDFILE* file = sf_open(Path(name).c_str(), SFM_READ, &info);
    if (file == nullptr) return audio;
    audio.rate = info.samplerate;
    audio.channels = info.channels;
    audio.format = info.format;
    std::vector<double> block(4096 * info.channels);
    for (sf_count_t got; (got = sf_readf_double(file, block.data(), 4096)) > 0;)
      audio.samples.insert(audio.samples.end(), block.begin(), block.begin() + got * info.channels);
    sf_close(file);
    return audio;
  }

  // IN -> `type` with constants on inputs 2.. -> OUT.
  void FilterModule(const std::string& name, int type, const std::vector<double>& controls) const {
    std::string components = R"({"slot": 0, "type": 0}, {"slot": 1, "type": 1}, {"slot": 2, "type": )" +
                             std::to_string(type) + "}";
    std::string wires = R"({"from": [0, 0], "to": [2, 0]}, {"from": [2, 0], "to": [1, 0]})";
    for (std::size_t k = 0; k < controls.size(); ++k) {
      const std::string slot = std::to_string(3 + k);
      char value[64];
      std::snprintf(value, sizeof value, "%.17g", controls[k]);
      components += R"(, {"slot": )" + slot + R"(, "type": 80, "value": )" + value + "}";
      wires += R"(, {"from": [)" + slot + R"(, 0], "to": [2, )" + std::to_string(k + 1) + "]}";
    }
    std::ofstream(Path(name)) << R"({"format": "korvel-module", "version": 1, "components": [)" << components
                              << R"(], "connections": [)" << wires << "]}";
  }
};

double Rms(const std::vector<double>& v) {
  double sum = 0;
  for (double x : v) sum += x * x;
  return std::sqrt(sum / static_cast<double>(v.size()));
}

// ---------------------------------------------------------------- equalisers

TEST_F(RenderJobsTest, EqualisersMatchSoxWithinMinus120DbAtThreeRates) {
  if (std::system("sox --version >/dev/null 2>&1") != 0) GTEST_SKIP() << "sox is not installed";
  struct Case {
    int type;
    std::vector<double> controls;  // frequency, gain, Q
    std::string effect;
  };
  const Case cases[] = {{60, {1000, 6, 2}, "equalizer 1000 2q 6"},
                        {61, {200, -4, 0.7}, "bass -4 200 0.7q"},
                        {62, {5000, 5, 0.9}, "treble 5 5000 0.9q"},
                        {63, {700, 0, 1.5}, "allpass 700 1.5q"}};
  for (int rate : {44100, 48000, 96000}) {
    Write("noise.wav", Noise(2 * static_cast<std::size_t>(rate)), 2, rate);
    for (const Case& c : cases) {
      SCOPED_TRACE(std::to_string(rate) + " Hz, " + c.effect);
      FilterModule("eq.korvel", c.type, c.controls);
      ASSERT_EQ(Korvel("render eq.korvel -i noise.wav -o ours.wav --tail 0 -q").status, 0);
      ASSERT_EQ(Shell("sox noise.wav -e floating-point -b 32 sox.wav " + c.effect).status, 0);
      const Audio ours = Read("ours.wav"), sox = Read("sox.wav");
      ASSERT_EQ(ours.samples.size(), sox.samples.size());
      std::vector<double> difference(ours.samples.size());
      for (std::size_t i = 0; i < difference.size(); ++i) difference[i] = ours.samples[i] - sox.samples[i];
      EXPECT_LT(20 * std::log10(Rms(difference) / Rms(sox.samples)), -120.0);
    }
  }
}

// ---------------------------------------------------------------- tails

TEST_F(RenderJobsTest, TailsRingOutUntilSilentForATenthOfASecond) {
  // One click at 48 kHz into the echo: repeats every 12000 frames, each
  // half the one before: 0.5^(k+1). The 18th repeat is the last at or above
  // -120 dBFS (0.5^19 = 1.9e-6; 0.5^20 = 9.5e-7).
  std::vector<float> click(2 * 48000, 0.0f);
  click[2 * 100] = click[2 * 100 + 1] = 0.5f;
  Write("click.wav", click, 2, 48000);
  Outcome run = Korvel("render " + Example("echo.korvel") + " -i click.wav -o echo.wav");
  ASSERT_EQ(run.status, 0) << run.err;
  Audio echo = Read("echo.wav");
  ASSERT_EQ(echo.frames(), 100u + 18 * 12000 + 1);
  EXPECT_EQ(echo.at(echo.frames() - 1, 0), std::ldexp(1.0, -19));
  EXPECT_NE(run.out.find("tail   3.502 s"), std::string::npos) << run.out;
  // --tail bounds it, --tail 0 cuts at the input's end, --seconds wins.
  run = Korvel("render " + Example("echo.korvel") + " -i click.wav -o echo.wav --tail 1");
  EXPECT_EQ(Read("echo.wav").frames(), 100u + 7 * 12000 + 1) << "the last repeat within the bound";
  EXPECT_NE(run.out.find("(cut at the --tail bound)"), std::string::npos) << run.out;
  ASSERT_EQ(Korvel("render " + Example("echo.korvel") + " -i click.wav -o echo.wav --tail 0 -q").status, 0);
  EXPECT_EQ(Read("echo.wav").frames(), 48000u);
  ASSERT_EQ(Korvel("render " + Example("echo.korvel") + " -i click.wav -o echo.wav --seconds 2 -q").status, 0);
  EXPECT_EQ(Read("echo.wav").frames(), 96000u);

  // A resonant lowpass rings on after a burst: the tail stops at the last
  // frame at or above -120 dBFS, as a long render shows, and a passthrough
  // adds nothing.
  std::vector<float> burst = Noise(2 * 4410, 0.5f);
  Write("burst.wav", burst, 2, 44100);
  FilterModule("ring.korvel", 15, {300, 40});
  ASSERT_EQ(Korvel("render ring.korvel -i burst.wav -o ring.wav -q").status, 0);
  ASSERT_EQ(Korvel("render ring.korvel -i burst.wav -o long.wav -q --seconds 5").status, 0);
  const Audio ring = Read("ring.wav"), long_render = Read("long.wav");
  std::size_t last = 0;
  for (std::size_t i = 0; i < long_render.samples.size(); ++i)
    if (std::fabs(long_render.samples[i]) >= 1e-6) last = i / 2;
  EXPECT_GT(last, 4410u + 4410) << "it rings for more than 100 ms";
  EXPECT_EQ(ring.frames(), last + 1);
  for (std::size_t i = 0; i < ring.samples.size(); ++i) ASSERT_EQ(ring.samples[i], long_render.samples[i]) << i;
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i burst.wav -o copy.wav -q").status, 0);
  EXPECT_EQ(Read("copy.wav").frames(), 4410u);
}

// ---------------------------------------------------------------- batches

TEST_F(RenderJobsTest, ABatchRendersEveryGoodFileAndNamesTheBadOne) {
  const std::vector<float> a = Noise(2 * 30000), b = Noise(2 * 20000, 0.2f);
  Write("a.wav", a, 2, 44100);
  Write("b.flac", b, 2, 48000, SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
  scratch.Write("broken.wav", "RIFF, but not really");
  fs::create_directory(Path("out"));
  const std::string module = Example("passthrough.korvel");
  Outcome run = Korvel("render " + module + " -i a.wav broken.wav b.flac -o out/ -j 2");
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("broken.wav"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("a.wav -> out/a.wav"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("2 of 3 files rendered"), std::string::npos) << run.out;
  const Audio out_a = Read("out/a.wav"), out_b = Read("out/b.flac");
  ASSERT_EQ(out_a.frames(), 30000u);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out_a.samples[i], a[i]) << i;
  EXPECT_EQ(out_b.rate, 48000);
  EXPECT_EQ(out_b.format, SF_FORMAT_FLAC | SF_FORMAT_PCM_24) << "the type follows the name";
  EXPECT_EQ(out_b.frames(), 20000u);
  EXPECT_FALSE(fs::exists(Path("out/broken.wav")));
  EXPECT_EQ(std::distance(fs::directory_iterator(Path("out")), fs::directory_iterator()), 2) << "no temporary left";
  // --type renames; every file good: status 0 and the count.
  run = Korvel("render " + module + " -i a.wav b.flac -o out --type aiff -q");
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_TRUE(fs::exists(Path("out/a.aiff")) && fs::exists(Path("out/b.aiff")));
  // Two inputs for one name, or standard input among several: usage errors.
  fs::create_directory(Path("sub"));
  fs::copy_file(Path("a.wav"), Path("sub/a.wav"));
  EXPECT_EQ(Korvel("render " + module + " -i a.wav sub/a.wav -o out/").status, 2);
  EXPECT_EQ(Korvel("render " + module + " -i a.wav - -o out/").status, 2);

  // Interrupted while both files stream without end: each render removes
  // its unfinished output.
  std::string header = "RIFF\xff\xff\xff\xffWAVEfmt ";
  const unsigned char fmt[] = {16, 0, 0, 0, 1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};
  header.append(reinterpret_cast<const char*>(fmt), sizeof fmt);
  scratch.Write("header.bin", header + "data\xff\xff\xff\xff");
  fs::create_directory(Path("stopped"));
  const Outcome stopped = Shell(
      "mkfifo x.wav y.wav; for f in x.wav y.wav; do (cat header.bin; cat /dev/zero) > $f 2>/dev/null & done; "
      "timeout -s TERM 1 " + std::string(KORVEL_CLI) + " render " + module + " -i x.wav y.wav -o stopped/ -j 2");
  EXPECT_EQ(stopped.status, 124) << stopped.err;
  EXPECT_TRUE(fs::is_empty(Path("stopped"))) << "no temporary file left";
}

// ---------------------------------------------------------------- rates and channels

// The zero crossings upward of channel 0 per second, over the middle half.
double Frequency(const Audio& a) {
  const std::size_t from = a.frames() / 4, to = 3 * a.frames() / 4;
  double first = -1, last = -1;
  int crossings = 0;
  for (std::size_t f = from; f + 1 < to; ++f) {
    const double x0 = a.at(f, 0), x1 = a.at(f + 1, 0);
    if (x0 < 0 && x1 >= 0) {
      const double at = static_cast<double>(f) + x0 / (x0 - x1);
      if (first < 0) first = at;
      last = at;
      ++crossings;
    }
  }
  return (crossings - 1) / ((last - first) / a.rate);
}

TEST_F(RenderJobsTest, RatesConvertTheOutputOrTheEngine) {
  std::vector<float> sine(2 * 48000);
  for (int f = 0; f < 48000; ++f) sine[2 * f] = sine[2 * f + 1] = static_cast<float>(0.5 * std::sin(2 * M_PI * 1000.0 * f / 48000));
  Write("sine.wav", sine, 2, 48000);
  Outcome run = Korvel("render " + Example("passthrough.korvel") + " -i sine.wav -o out.wav --rate 44100");
  ASSERT_EQ(run.status, 0) << run.err;
  Audio out = Read("out.wav");
  EXPECT_EQ(out.rate, 44100);
  EXPECT_EQ(out.frames(), 44100u);
  EXPECT_NEAR(Frequency(out), 1000.0, 0.01);
  EXPECT_NEAR(*std::max_element(out.samples.begin(), out.samples.end()), 0.5, 1e-3);
  // The module at 96 kHz: the echo's quarter second is 24000 of its frames,
  // and comes back at the input's rate, 12000 frames after the click.
  std::vector<float> click(2 * 48000, 0.0f);
  click[2 * 1000] = click[2 * 1000 + 1] = 0.5f;
  Write("click.wav", click, 2, 48000);
  run = Korvel("render " + Example("echo.korvel") + " -i click.wav -o echo.wav --engine-rate=96000 --tail 0");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find("module at 96000 Hz"), std::string::npos) << run.out;
  out = Read("echo.wav");
  ASSERT_EQ(out.rate, 48000);
  std::size_t loudest = 2000;
  for (std::size_t f = 2000; f < out.frames(); ++f)
    if (std::fabs(out.at(f, 0)) > std::fabs(out.at(loudest, 0))) loudest = f;
  EXPECT_EQ(loudest, 13000u);
  EXPECT_EQ(Korvel("render x.korvel -o y.wav --rate 100").status, 2);
}

TEST_F(RenderJobsTest, ManyChannelsGoThroughOneInstancePerPair) {
  // Five channels, each its own noise: channels 1-2 and 3-4 as pairs, 5 as
  // mono (both of its instance's channels, then their mean).
  const int frames = 5000;
  const std::vector<float> noise = Noise(5 * frames);
  Write("five.wav", noise, 5, 44100);
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i five.wav -o copy.wav -q").status, 0);
  const Audio copy = Read("copy.wav");
  ASSERT_EQ(copy.channels, 5);
  for (std::size_t i = 0; i < noise.size(); ++i) ASSERT_EQ(copy.samples[i], noise[i]) << i;
  // Through the echo, channel 5 sounds as a mono file of channel 5 alone.
  std::vector<float> fifth(frames);
  for (int f = 0; f < frames; ++f) fifth[f] = noise[5 * f + 4];
  Write("fifth.wav", fifth, 1, 44100);
  ASSERT_EQ(Korvel("render " + Example("echo.korvel") + " -i five.wav -o five-echo.wav -q --tail 0").status, 0);
  ASSERT_EQ(Korvel("render " + Example("echo.korvel") + " -i fifth.wav -o fifth-echo.wav -q --tail 0").status, 0);
  const Audio many = Read("five-echo.wav"), one = Read("fifth-echo.wav");
  ASSERT_EQ(many.frames(), one.frames());
  for (std::size_t f = 0; f < one.frames(); ++f) ASSERT_EQ(many.at(f, 4), one.at(f, 0)) << f;
  EXPECT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i five.wav -o x.wav --channels 2").status, 1);

  // One sidechain key for every pair: three equal channels through the
  // ducker come out equal, each instance ducked by the same frames.
  std::vector<float> same(3 * frames), key(frames, 0.0f);
  for (int f = 0; f < frames; ++f) same[3 * f] = same[3 * f + 1] = same[3 * f + 2] = noise[5 * f];
  for (int f = 1000; f < 3000; ++f) key[f] = 0.8f;
  Write("three.wav", same, 3, 44100);
  Write("key.wav", key, 1, 44100);
  const Outcome ducked = Korvel("render " + Example("ducker.korvel") + " -i three.wav -o ducked.wav -q --tail 0 --sidechain key.wav");
  ASSERT_EQ(ducked.status, 0) << ducked.err;
  const Audio out = Read("ducked.wav");
  double change = 0;
  for (std::size_t f = 0; f < out.frames(); ++f) {
    ASSERT_EQ(out.at(f, 0), out.at(f, 2)) << f;
    change = std::max(change, std::fabs(out.at(f, 0) - same[3 * f]));
  }
  EXPECT_GT(change, 0.01) << "the key was heard";
}

// ---------------------------------------------------------------- standard input and dither

TEST_F(RenderJobsTest, EveryTypeReadsThroughAPipeAndTheSpoolIsRemoved) {
  const std::vector<float> noise = Noise(2 * 20000);
  Write("in.flac", noise, 2, 44100, SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
  Write("in.aiff", noise, 2, 44100, SF_FORMAT_AIFF | SF_FORMAT_PCM_16);
  const Audio flac = Read("in.flac");
  fs::create_directory(Path("tmp"));
  for (const char* name : {"in.flac", "in.aiff"}) {
    SCOPED_TRACE(name);
    const Outcome run = Shell("cat " + std::string(name) + " | TMPDIR=" + Path("tmp") + " " + KORVEL_CLI + " render " +
                              Example("passthrough.korvel") + " -i - -o out.wav -q");
    ASSERT_EQ(run.status, 0) << run.err;
    const Audio out = Read("out.wav");
    ASSERT_EQ(out.samples.size(), flac.samples.size());
    for (std::size_t i = 0; i < out.samples.size(); ++i) ASSERT_EQ(out.samples[i], flac.samples[i]) << i;
    EXPECT_TRUE(fs::is_empty(Path("tmp"))) << "the spooled copy is gone";
  }
}

TEST_F(RenderJobsTest, SixteenBitsPassExactlyAndShapedDitherMovesTheNoiseUp) {
  // A 16-bit file through a passthrough to pcm16: every sample is on the
  // grid, so nothing is dithered.
  Write("in16.wav", Noise(2 * 10000, 0.5f), 2, 44100, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
  ASSERT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i in16.wav -o out16.wav --format pcm16 -q").status, 0);
  EXPECT_EQ(Read("out16.wav").samples, Read("in16.wav").samples);

  // A quiet float sine: shaped dither's error is quieter than flat TPDF's
  // around 3 kHz and louder near the top of the band.
  const int frames = 1 << 15;
  std::vector<float> sine(frames);
  for (int f = 0; f < frames; ++f) sine[f] = static_cast<float>(0.01 * std::sin(2 * M_PI * 441.0 * f / 44100));
  Write("sine.wav", sine, 1, 44100);
  const auto error_power = [&](const std::string& dither, double hz) {
    EXPECT_EQ(Korvel("render " + Example("passthrough.korvel") + " -i sine.wav -o d.wav --format pcm16 -q --dither " +
                     dither).status, 0);
    const Audio out = Read("d.wav");
    // Power of the error near `hz`: a band of bins around it.
    double power = 0;
    for (double f = hz - 500; f <= hz + 500; f += 50) {
      double re = 0, im = 0;
      for (int n = 0; n < frames; ++n) {
        const double e = out.samples[n] - sine[n];
        re += e * std::cos(2 * M_PI * f * n / 44100);
        im += e * std::sin(2 * M_PI * f * n / 44100);
      }
      power += re * re + im * im;
    }
    return 10 * std::log10(power);
  };
  EXPECT_LT(error_power("shaped", 3500), error_power("tpdf", 3500) - 8);
  EXPECT_GT(error_power("shaped", 18000), error_power("tpdf", 18000) + 3);
}

// ---------------------------------------------------------------- the checker and the rate

TEST_F(RenderJobsTest, TheCheckerKnowsTheRateAndARunawayCannotHappen) {
  // LP at 15 kHz, a delay of 100 s of the rate, a constant leading nowhere.
  std::ofstream(Path("m.korvel")) << R"({"format": "korvel-module", "version": 1, "components": [
      {"slot": 0, "type": 0}, {"slot": 1, "type": 15}, {"slot": 2, "type": 80, "value": 15000},
      {"slot": 3, "type": 80, "value": 1.414}, {"slot": 4, "type": 1}, {"slot": 5, "type": 81},
      {"slot": 6, "type": 80, "value": 100}, {"slot": 7, "type": 12}, {"slot": 8, "type": 29},
      {"slot": 9, "type": 80, "label": "spare", "value": 3}],
    "connections": [{"from": [0, 0], "to": [8, 0]}, {"from": [8, 0], "to": [1, 0]}, {"from": [2, 0], "to": [1, 1]},
      {"from": [3, 0], "to": [1, 2]}, {"from": [1, 0], "to": [4, 0]}, {"from": [5, 0], "to": [7, 0]},
      {"from": [6, 0], "to": [7, 1]}, {"from": [7, 0], "to": [8, 1]}]})";
  Outcome check = Korvel("check m.korvel --rate 22050");
  EXPECT_EQ(check.status, 1);
  for (const char* says :
       {"slot 1 (LP filter \"LP filter\"): the cutoff 15000 Hz is at or above half the sample rate (11025 Hz at "
        "22050 Hz); it is computed as 11002.95 Hz",
        "slot 8 (Delay Get \"Delay Get\"): the delay of 2,205,000 frames is longer than the delay line (2,097,152 "
        "frames, 95.1 s at 22,050 Hz), so it wraps around to 107,848 frames",
        "slot 9 (constant \"spare\"): its output leads nowhere, so it never runs"})
    EXPECT_NE(check.out.find(says), std::string::npos) << says << "\n" << check.out;
  check = Korvel("check m.korvel");
  EXPECT_EQ(check.out.find("cutoff"), std::string::npos) << "below half of 44100";
  EXPECT_NE(check.out.find("the delay of 4,410,000 frames is longer than the delay line (2,097,152 frames, 47.6 s "
                           "at 44,100 Hz)"),
            std::string::npos)
      << check.out;

  // At 22.05 kHz the same filter stays bounded, and the render says why
  // the cutoff is not what was written.
  Write("n22.wav", Noise(2 * 22050, 0.5f), 2, 22050);
  const Outcome run = Korvel("render m.korvel -i n22.wav -o out.wav");
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("warning: slot 1 (LP filter \"LP filter\"): the cutoff 15000 Hz"), std::string::npos) << run.err;
  const Audio out = Read("out.wav");
  for (double v : out.samples) ASSERT_LT(std::fabs(v), 1.0);
}

// ---------------------------------------------------------------- small things

TEST_F(RenderJobsTest, OptionsAndCountsSayWhatTheyMean) {
  Write("in.wav", Noise(2 * 100000), 2, 44100);
  const std::string module = Example("passthrough.korvel");
  EXPECT_EQ(Korvel("render " + module + " -o a.wav -o b.wav").status, 2) << "a file option twice";
  EXPECT_EQ(Korvel("render " + module + " -i in.wav -i in.wav -o a.wav").status, 2);
  EXPECT_EQ(Korvel("render " + module + " --input=in.wav -o a.wav").status, 2) << "still an unknown option";
  ASSERT_EQ(Korvel("render " + module + " -i in.wav -o=a.wav --format=pcm24 --seconds=1 -q").status, 2)
      << "only long options take '='";
  ASSERT_EQ(Korvel("render " + module + " -i in.wav -o a.wav --format=pcm24 --seconds=1 -q").status, 0);
  EXPECT_EQ(Read("a.wav").frames(), 44100u);
  // One sample over full scale in 100,000 frames is not 0.0%.
  std::vector<float> one = Noise(2 * 100000);
  one[2 * 500] = 1.5f;
  Write("one.wav", one, 2, 44100);
  const Outcome run = Korvel("render " + module + " -i one.wav -o c.wav --format pcm16");
  EXPECT_NE(run.err.find("left clipped 1 samples (0.001%)"), std::string::npos) << run.err;
  // A header in any case; no negative zero in a CSV.
  std::ofstream(Path("auto.csv")) << "Seconds,Parameter,Value\n0,1,0.5\n";
  EXPECT_EQ(Korvel("render " + Example("auto-wah.korvel") + " -i in.wav -o d.wav -q --automation auto.csv").status, 0);
  const Outcome csv = Korvel("plot " + module + " --csv");
  ASSERT_EQ(csv.status, 0) << csv.err;
  EXPECT_EQ(csv.out.find("-0.0000"), std::string::npos);
  EXPECT_NE(csv.out.find(",0.0000,0.0000\n"), std::string::npos);
  // A missing file in the system's words, never libsndfile's bare "System error".
  const Outcome missing = Korvel("render " + module + " -i nowhere.wav -o e.wav");
  EXPECT_NE(missing.err.find("'nowhere.wav': No such file or directory"), std::string::npos) << missing.err;
  EXPECT_EQ(missing.err.find("System error"), std::string::npos) << missing.err;
}

}  // namespace
}  // namespace korvel
