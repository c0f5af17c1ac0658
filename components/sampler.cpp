#include "components/sampler.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <new>

#include <nlohmann/json.hpp>

#include "engine/host_timing.h"
#include "engine/type_settings.h"

namespace korvel {
namespace {

// ------------------------------------------------------------------ kernel

// The interpolation kernel: sin(pi u) / (pi u) under a Kaiser window
// reaching kSamplerHalfTaps frames on each side, tabulated at
// kSamplerPhases points per frame and read with linear interpolation
// between them. It is computed by the compiler with nothing but +, -, x
// and / (the sine and the Bessel function by their series, the square root
// by Newton's method), so every build holds the same bits and no
// platform's maths library is involved. Its zeros fall exactly on whole
// frames: at a whole position the interpolation gives the sound's own
// value. With beta 9 the window's stopband lies about 90 dB down; images
// leak only into the top 6% of the output's band (above 19.4 kHz at
// 44.1 kHz).
constexpr double kKaiserBeta = 9.0;
constexpr double kPi = 3.14159265358979323846;
constexpr int kKernelSize = kSamplerHalfTaps * kSamplerPhases + 2;

constexpr double SeriesSine(double x) {  // |x| <= pi/2
  double term = x, sum = x;
  for (int k = 1; k < 14; ++k) {
    term *= -x * x / ((2 * k) * (2 * k + 1));
    sum += term;
  }
  return sum;
}

constexpr double SquareRoot(double x) {
  if (x <= 0.0) return 0.0;
  double y = x < 1.0 ? 1.0 : x;
  for (int i = 0; i < 64; ++i) {
    const double next = 0.5 * (y + x / y);
    if (next == y) break;
    y = next;
  }
  return y;
}

constexpr double BesselI0(double x) {
  double term = 1.0, sum = 1.0;
  for (int k = 1; k < 64; ++k) {
    const double half = x / (2.0 * k);
    term *= half * half;
    sum += term;
    if (term < sum * 1e-18) break;
  }
  return sum;
}

constexpr double kWindowScale = BesselI0(kKaiserBeta);

// Kernel value at u = j / kSamplerPhases frames from the centre.
constexpr double KernelAt(int j) {
  if (j == 0) return 1.0;
  const int whole = j / kSamplerPhases;
  const int part = j % kSamplerPhases;
  const double u = static_cast<double>(j) / kSamplerPhases;
  if (u >= kSamplerHalfTaps) return 0.0;
  double sinc = 0.0;  // exactly zero on whole frames
  if (part != 0) {
    double y = static_cast<double>(part) / kSamplerPhases;  // sin(pi u) = (-1)^whole sin(pi y)
    if (y > 0.5) y = 1.0 - y;
    const double sine = SeriesSine(kPi * y);
    sinc = ((whole % 2) != 0 ? -sine : sine) / (kPi * u);
  }
  const double r = u / kSamplerHalfTaps;
  return sinc * BesselI0(kKaiserBeta * SquareRoot(1.0 - r * r)) / kWindowScale;
}

constexpr std::array<double, kKernelSize> MakeKernel() {
  std::array<double, kKernelSize> table{};
  for (int j = 0; j < kKernelSize; ++j) table[j] = KernelAt(j);
  return table;
}

constexpr std::array<double, kKernelSize> kKernel = MakeKernel();

// ------------------------------------------------------------------ reading

constexpr int kMaxTaps = 2 * kSamplerMaxReach + 2;

// Frames the kernel reaches on each side at `stretch` (1 .. kSamplerMaxStep):
// kSamplerHalfTaps x stretch, rounded up. Integer arithmetic rather than
// the library's ceil, which 32-bit builds would take from the x87.
inline std::int32_t Reach(double stretch) {
  const double reach = kSamplerHalfTaps * stretch;
  const auto whole = static_cast<std::int32_t>(reach);
  return whole < reach ? whole + 1 : whole;
}

// Reads a sound at a position: the frames before and through the loop's
// first pass as they are, and past the loop's end the loop repeated
// (forward) or reflected (ping-pong), so the interpolator sees one
// continuous signal across every loop point. Outside the sound: silence.
class SoundReader {
 public:
  SoundReader(const Sound& sound, const SamplerRecord& settings)
      : data_(sound.samples.data()), frames_(sound.frames), channels_(sound.channels) {
    std::int32_t end = settings.loop_end > 0 && settings.loop_end < frames_ ? settings.loop_end : frames_;
    std::int32_t start = settings.loop_start < end ? settings.loop_start : end;
    const std::int32_t length = end - start;
    looping_ = settings.loop != kSamplerLoopOff && length >= 1;
    if (!looping_) return;
    loop_start_ = start;
    loop_end_ = end;
    length_ = length;
    // A ping-pong loop turns on its end frames without playing them twice.
    ping_pong_ = settings.loop == kSamplerLoopPingPong && length >= 2;
    period_ = ping_pong_ ? 2 * (length - 1) : length;
  }

  int channels() const { return channels_; }

  // The sound's frame at position i, or -1 for silence.
  std::int32_t Map(std::int32_t i) const {
    if (i < 0) return -1;
    if (!looping_) return i < frames_ ? i : -1;
    if (i < loop_end_) return i;
    const std::int32_t u = (i - loop_start_) % period_;
    if (!ping_pong_ || u < length_) return loop_start_ + u;
    return loop_start_ + period_ - u;
  }

  // What positions i, i + 1, ... read, as far as they read one stretch of
  // the sound: from frame `at` (-1: silence) on, `length` positions, moving
  // by `direction` frames each (+1, or -1 on a ping-pong loop's way back).
  struct Span {
    std::int32_t at, length, direction;
  };
  Span SpanAt(std::int32_t i) const {
    constexpr std::int32_t kSilence = 0x3FFFFFFF;
    if (i < 0) return {-1, -i, 0};
    if (!looping_) return i < frames_ ? Span{i, frames_ - i, 1} : Span{-1, kSilence, 0};
    if (i < loop_end_) return {i, loop_end_ - i, 1};
    const std::int32_t u = (i - loop_start_) % period_;
    if (!ping_pong_ || u < length_) return {loop_start_ + u, length_ - u, 1};
    return {loop_start_ + period_ - u, period_ - u, -1};
  }
  // Copies `count` positions from `first` on, every channel, into `to`.
  void Gather(std::int32_t first, int count, float* to) const {
    for (int k = 0; k < count;) {
      const Span span = SpanAt(first + k);
      const int n = span.length < count - k ? span.length : count - k;
      for (int m = 0; m < n; ++m, ++k)
        for (int c = 0; c < channels_; ++c)
          to[k * channels_ + c] = span.at >= 0 ? Frame(span.at + m * span.direction)[c] : 0.0f;
    }
  }
  const float* Frame(std::int32_t i) const { return data_ + static_cast<std::ptrdiff_t>(i) * channels_; }

  // Keeps a looping position small: past the loop's end, positions a
  // whole number of periods apart read the same, so one is traded for the
  // other once every tap lies past the end.
  void Fold(std::int32_t& index) const {
    if (!looping_) return;
    const std::int32_t floor = loop_end_ + kSamplerMaxReach;
    if (index >= floor + period_) index = floor + (index - floor) % period_;
  }
  // Whether nothing can sound from position `index` on, with `reach`.
  bool Ended(std::int32_t index, std::int32_t reach) const { return !looping_ && index - reach >= frames_; }

 private:
  const float* data_;
  std::int32_t frames_;
  int channels_;
  bool looping_ = false;
  bool ping_pong_ = false;
  std::int32_t loop_start_ = 0, loop_end_ = 0, length_ = 0, period_ = 1;
};

// The kernel laid out by phase: row p holds it at distances j + p / P
// (j = 0 .. kSamplerHalfTaps - 1, P = kSamplerPhases) for p = 0 .. P + 1,
// so the weights of a position on the unwidened grid are read from two
// neighbouring rows, in order.
constexpr int kRows = kSamplerPhases + 2;
constexpr std::array<double, kRows * kSamplerHalfTaps> MakePolyphase() {
  std::array<double, kRows * kSamplerHalfTaps> rows{};
  for (int p = 0; p < kRows; ++p)
    for (int j = 0; j < kSamplerHalfTaps; ++j) {
      const int at = j * kSamplerPhases + p;
      rows[p * kSamplerHalfTaps + j] = at < kKernelSize ? kKernel[at] : 0.0;
    }
  return rows;
}
constexpr std::array<double, kRows * kSamplerHalfTaps> kPolyphase = MakePolyphase();

// weight[j] = the kernel at distance j + x frames (0 <= x <= 1).
inline void RowWeights(double x, double* weight) {
  const double t = x * kSamplerPhases;
  const auto p = static_cast<std::int32_t>(t);
  const double a = t - p;
  const double* low = kPolyphase.data() + p * kSamplerHalfTaps;
  const double* high = low + kSamplerHalfTaps;
  for (int j = 0; j < kSamplerHalfTaps; ++j) weight[j] = low[j] + a * (high[j] - low[j]);
}

// The weighted sums of the taps, each channel's in fixed partial sums
// added in a fixed order: the same bits on every build, with several
// multiply-adds in flight (and, for stereo, both channels side by side).
inline void Dot(const double* weight, const float* taps, int channels, int count, double* value) {
  int k = 0;
  if (channels == 2) {
    double l0 = 0.0, r0 = 0.0, l1 = 0.0, r1 = 0.0;
    for (; k + 2 <= count; k += 2) {
      l0 += weight[k] * taps[2 * k];
      r0 += weight[k] * taps[2 * k + 1];
      l1 += weight[k + 1] * taps[2 * k + 2];
      r1 += weight[k + 1] * taps[2 * k + 3];
    }
    for (; k < count; ++k) {
      l0 += weight[k] * taps[2 * k];
      r0 += weight[k] * taps[2 * k + 1];
    }
    value[0] = l0 + l1;
    value[1] = r0 + r1;
    return;
  }
  double s0 = 0.0, s1 = 0.0, s2 = 0.0, s3 = 0.0;
  for (; k + 4 <= count; k += 4) {
    s0 += weight[k] * taps[k];
    s1 += weight[k + 1] * taps[k + 1];
    s2 += weight[k + 2] * taps[k + 2];
    s3 += weight[k + 3] * taps[k + 3];
  }
  for (; k < count; ++k) s0 += weight[k] * taps[k];
  value[0] = (s0 + s1) + (s2 + s3);
}

// The kernel at t = |u| x kSamplerPhases for any t >= 0: past its reach
// the table's last two entries, both 0, give 0.
inline double KernelAnywhere(double t) {
  constexpr std::int32_t kEnd = kSamplerHalfTaps * kSamplerPhases;
  const double whole = t < kEnd ? t : kEnd;
  const auto j = static_cast<std::int32_t>(whole);
  const double a = whole - j;
  return kKernel[j] + a * (kKernel[j + 1] - kKernel[j]);
}

// The interpolated value of every channel at (index + fraction), reading
// with the kernel widened by `stretch` (>= 1).
void Interpolate(const SoundReader& reader, std::int32_t index, double fraction, double stretch, double* value) {
  const int channels = reader.channels();
  if (fraction == 0.0 && stretch == 1.0) {
    // The kernel is 1 at the centre and 0 on every other whole frame.
    const std::int32_t at = reader.Map(index);
    for (int c = 0; c < channels; ++c) value[c] = at >= 0 ? reader.Frame(at)[c] : 0.0;
    return;
  }
  // Tap k reads frame first + k; its weight is the kernel at its distance
  // from the position, in frames of the widened kernel.
  const std::int32_t reach = Reach(stretch);
  const std::int32_t first = index - reach + 1;
  const int taps = 2 * reach;
  double weight[kMaxTaps];
  double gain = 1.0;
  if (stretch == 1.0) {
    // Taps left of the position (at distances j + fraction) and right of
    // it (at j + 1 - fraction), from two rows of the table each.
    double left[kSamplerHalfTaps];
    RowWeights(fraction, left);
    RowWeights(1.0 - fraction, weight + kSamplerHalfTaps);
    for (int j = 0; j < kSamplerHalfTaps; ++j) weight[kSamplerHalfTaps - 1 - j] = left[j];
  } else {
    // The same two sides, on the widened kernel: distance j + fraction
    // (left) and j + 1 - fraction (right), in frames of the sound, divided
    // by the stretch.
    const double scale = kSamplerPhases / stretch;
    const double right = 1.0 - fraction;
    for (int j = 0; j < reach; ++j) {
      weight[reach - 1 - j] = KernelAnywhere((j + fraction) * scale);
      weight[reach + j] = KernelAnywhere((j + right) * scale);
    }
    gain = 1.0 / stretch;
  }
  // The taps in place when they are one forward stretch of the sound;
  // otherwise gathered across the loop points and the ends.
  const float* at;
  float gathered[2 * kMaxTaps];
  const SoundReader::Span span = reader.SpanAt(first);
  if (span.at >= 0 && span.direction == 1 && span.length >= taps) {
    at = reader.Frame(span.at);
  } else {
    reader.Gather(first, taps, gathered);
    at = gathered;
  }
  Dot(weight, at, channels, taps, value);
  for (int c = 0; c < channels; ++c) value[c] *= gain;
}

// ------------------------------------------------------------------ voices

void Fade(SamplerVoice& voice, std::int32_t frames) {
  if (frames <= 0) {
    voice.active = 0;
    return;
  }
  voice.fade_left = frames;
  voice.fade_step = voice.level / frames;
}

// Adds one frame of `voice` to out[0] and out[1] and moves it on by
// `step`. A fade's frames sound at levels (n - 1)/n, ..., 1/n, 0 of where
// it began, so a release starts to fall at the frame the gate falls.
inline void RenderFrame(SamplerVoice& voice, const SoundReader& reader, double step, double* out) {
  const double stretch = step > 1.0 ? step : 1.0;
  if (voice.fade_left > 0) {
    voice.level = --voice.fade_left > 0 ? voice.level - voice.fade_step : 0.0;
    if (voice.fade_left == 0) voice.active = 0;
  }
  double value[2];
  Interpolate(reader, voice.index, voice.fraction, stretch, value);
  const double level = voice.level;
  out[0] += value[0] * level;
  out[1] += value[reader.channels() - 1] * level;
  voice.fraction += step;
  if (voice.fraction >= 1.0) {
    const auto whole = static_cast<std::int32_t>(voice.fraction);
    voice.index += whole;
    voice.fraction -= whole;
  }
  reader.Fold(voice.index);
  if (reader.Ended(voice.index, Reach(stretch))) voice.active = 0;
}

// Adds `count` frames of `voice` at a constant `step` to out (interleaved).
// A voice at its own pitch and rate, on a whole frame and not fading, is
// its frames copied: the same values RenderFrame gives, without its
// per-frame work.
void RenderRun(SamplerVoice& voice, const SoundReader& reader, double step, double* out, int count) {
  if (step == 1.0 && voice.fraction == 0.0 && voice.fade_left == 0) {
    const int channels = reader.channels();
    const double level = voice.level;
    int f = 0;
    while (f < count) {
      const SoundReader::Span span = reader.SpanAt(voice.index + f);
      if (span.at < 0 && reader.Ended(voice.index + f, 0)) break;
      const int n = span.length < count - f ? span.length : count - f;
      if (span.at >= 0) {
        const float* frame = reader.Frame(span.at);
        const std::ptrdiff_t stride = static_cast<std::ptrdiff_t>(span.direction) * channels;
        for (int m = 0; m < n; ++m, frame += stride) {
          out[2 * (f + m)] += frame[0] * level;
          out[2 * (f + m) + 1] += frame[channels - 1] * level;
        }
      }
      f += n;
    }
    voice.index += f;
    reader.Fold(voice.index);
    if (f < count || reader.Ended(voice.index, kSamplerHalfTaps)) voice.active = 0;
    return;
  }
  for (int f = 0; f < count && voice.active; ++f) RenderFrame(voice, reader, step, out + 2 * f);
}

// A start point in frames: whole, 0 .. the longest sound; NaN is 0.
std::int32_t StartFrame(double offset) {
  if (!(offset > 0.0)) return 0;
  if (offset >= kMaxSoundFrames) return kMaxSoundFrames;
  return static_cast<std::int32_t>(offset);
}

// ------------------------------------------------------------------ settings

constexpr const char* kSamplerKeys[] = {"file", "root", "mode", "loop", "loop_start", "loop_end", "release"};
constexpr const char* kModeNames[] = {"one-shot", "gate"};
constexpr const char* kLoopNames[] = {"off", "forward", "ping-pong"};

void WriteSampler(const ComponentRecord& self, nlohmann::ordered_json& out) {
  const auto& s = static_cast<const SamplerRecord&>(self);
  out["file"] = s.file != nullptr ? s.file->path : std::string();
  out["root"] = settings::Number(s.root);
  out["mode"] = SamplerModeName(s.mode);
  out["loop"] = SamplerLoopName(s.loop);
  out["loop_start"] = s.loop_start;
  out["loop_end"] = s.loop_end;
  out["release"] = settings::Number(s.release);
}

template <std::size_t N>
bool ReadName(const nlohmann::json& in, const char* key, const char* const (&names)[N], std::uint8_t& value,
              std::string& error) {
  const auto it = in.find(key);
  if (it == in.end()) return true;
  if (it->is_string())
    for (std::size_t i = 0; i < N; ++i)
      if (it->get_ref<const std::string&>() == names[i]) {
        value = static_cast<std::uint8_t>(i);
        return true;
      }
  error = settings::Quoted(key) + " is not one of";
  for (std::size_t i = 0; i < N; ++i) error += std::string(i == 0 ? " " : i + 1 == N ? " or " : ", ") + settings::Quoted(names[i]);
  return false;
}

bool ReadSampler(const nlohmann::json& in, ComponentRecord& self, std::string& error) {
  auto& s = static_cast<SamplerRecord&>(self);
  if (const auto it = in.find("file"); it != in.end()) {
    if (!it->is_string()) {
      error = settings::Quoted("file") + " is not a text";
      return false;
    }
    if (s.file == nullptr) s.file = new (std::nothrow) SamplerFile();
    if (s.file == nullptr) {
      error = "not enough memory for the settings";
      return false;
    }
    s.file->path = it->get<std::string>();
    s.file->sound.reset();
    s.sound = nullptr;
  }
  double root = s.root, release = s.release;
  long long loop_start = s.loop_start, loop_end = s.loop_end;
  if (!settings::ReadReal(in, "root", root, error) || !settings::ReadReal(in, "release", release, error) ||
      !settings::ReadInteger(in, "loop_start", 0, kMaxSoundFrames, loop_start, error) ||
      !settings::ReadInteger(in, "loop_end", 0, kMaxSoundFrames, loop_end, error) ||
      !ReadName(in, "mode", kModeNames, s.mode, error) || !ReadName(in, "loop", kLoopNames, s.loop, error))
    return false;
  if (!(root > 0.0 && std::isfinite(root))) {
    error = settings::Quoted("root") + " must be a frequency above 0 Hz";
    return false;
  }
  if (!(release >= 0.0 && release <= kSamplerMaxRelease)) {
    error = settings::Quoted("release") + " must lie in 0..60000 ms";
    return false;
  }
  if (loop_end != 0 && loop_start >= loop_end) {
    error = settings::Quoted("loop_start") + " (" + std::to_string(loop_start) + ") must come before " +
            settings::Quoted("loop_end") + " (" + std::to_string(loop_end) + ")";
    return false;
  }
  s.root = root;
  s.release = release;
  s.loop_start = static_cast<std::int32_t>(loop_start);
  s.loop_end = static_cast<std::int32_t>(loop_end);
  return true;
}

void AttachSampler(ComponentRecord& self, SoundRef sound) {
  auto& s = static_cast<SamplerRecord&>(self);
  s.sound = sound.get();
  if (s.file != nullptr) s.file->sound = std::move(sound);
}

void ReleaseSampler(ComponentRecord& self) {
  auto& s = static_cast<SamplerRecord&>(self);
  delete s.file;
  s.file = nullptr;
  s.sound = nullptr;
}

}  // namespace

const char* SamplerModeName(int mode) { return mode == kSamplerGate ? kModeNames[1] : kModeNames[0]; }
const char* SamplerLoopName(int loop) {
  return loop == kSamplerLoopForward ? kLoopNames[1] : loop == kSamplerLoopPingPong ? kLoopNames[2] : kLoopNames[0];
}

const TypeSettings kSamplerSettings = {
    kSamplerKeys, std::size(kSamplerKeys), WriteSampler, ReadSampler, "file", AttachSampler, ReleaseSampler};

void InitialiseSampler(ComponentRecord* self) {
  auto* s = static_cast<SamplerRecord*>(self);
  s->root = kSamplerDefaultRoot;
  s->release = kSamplerDefaultRelease;
}

// [audio thread] Reads only the published sound; allocates nothing. A
// block with nothing sounding and no start in it is the constant 0.0.
void ProcessSampler(ComponentRecord* self, ComponentRecord* const* inputs, const std::int16_t* source_outputs) {
  auto* s = static_cast<SamplerRecord*>(self);
  const int n = self->block_length;
  const Signal trigger = ReadInput(inputs, source_outputs, 0);
  const Signal frequency = ReadInput(inputs, source_outputs, 1);
  const Signal offset = ReadInput(inputs, source_outputs, 2);
  const Signal amplitude = ReadInput(inputs, source_outputs, 3);
  const Sound* sound = s->sound;
  if (sound == nullptr || n <= 0) {
    if (n > 0) s->last_trigger = trigger.control(n - 1);
    SetConstant(self, 0, 0.0);
    return;
  }
  if (!s->voice.active && !s->tail.active) {
    // Anything to start in this block?
    bool starts = false;
    double last = s->last_trigger;
    for (int f = 0; f < n && !starts; ++f) {
      const double g = trigger.control(f);
      starts = g >= 0.5 && !(last >= 0.5);
      last = g;
    }
    if (!starts) {
      s->last_trigger = last;
      SetConstant(self, 0, 0.0);
      return;
    }
  }
  const SoundReader reader(*sound, *s);
  const double rate = SampleRateOf(self);
  const double base_step = sound->rate / rate;
  const double to_frames = rate / 1000.0;
  const auto release_frames = static_cast<std::int32_t>(std::min(s->release * to_frames, 1e9));
  const auto declick_frames = static_cast<std::int32_t>(kSamplerDeclickSeconds * rate);
  const bool gate = s->mode == kSamplerGate;
  double* out = s->out;
  std::fill(out, out + 2 * n, 0.0);
  double last = s->last_trigger;
  // Step of frame f: a frequency of 0 Hz or below (or not a number) holds
  // the position; at most four octaves up.
  const auto step_at = [&](int f) {
    double step = base_step;
    if (frequency.connected()) step = base_step * (frequency.control(f) / s->root);
    if (!(step > 0.0)) step = 0.0;
    return step > kSamplerMaxStep ? kSamplerMaxStep : step;
  };
  for (int f = 0; f < n;) {
    const double g = trigger.control(f);
    const bool high = g >= 0.5;
    if (high && !(last >= 0.5)) {
      // A sound still playing fades out under the new one instead of
      // stopping dead.
      if (s->voice.active) {
        s->tail = s->voice;
        Fade(s->tail, declick_frames);
      }
      s->voice = SamplerVoice{};
      s->voice.active = 1;
      s->voice.level = 1.0;
      s->voice.index = StartFrame(offset.control(f));
    } else if (gate && !high && s->voice.active && !s->voice.released) {
      s->voice.released = 1;
      Fade(s->voice, release_frames);
    }
    // The frames up to the trigger's next crossing of 0.5 start and
    // release nothing: one run, at one step while the frequency holds.
    int run = 1;
    if (!frequency.is_buffer())
      while (f + run < n && (trigger.control(f + run) >= 0.5) == high) ++run;
    last = trigger.control(f + run - 1);
    const double step = step_at(f);
    if (s->voice.active) RenderRun(s->voice, reader, step, out + 2 * f, run);
    if (s->tail.active) RenderRun(s->tail, reader, step, out + 2 * f, run);
    f += run;
  }
  const double scale = kSamplerFileScale;
  if (amplitude.is_buffer()) {
    for (int f = 0; f < n; ++f) {
      const double gain = scale * amplitude.buffer[2 * f];
      out[2 * f] *= gain;
      out[2 * f + 1] *= gain;
    }
  } else {
    const double gain = scale * (amplitude.connected() ? amplitude.value : 1.0);
    for (int i = 0; i < 2 * n; ++i) out[i] *= gain;
  }
  s->last_trigger = last;
  SetBuffer(self, 0, out);
}

}  // namespace korvel
