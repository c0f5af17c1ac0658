// korvel plot: a module's frequency response, phase and impulse response,
// measured through the plug-in as a host hears it, drawn or as CSV.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <numbers>
#include <optional>
#include <string>
#include <vector>

#include "components/clipping.h"
#include "components/moog_state_filters.h"
#include "engine/sound_paths.h"
#include "engine/type_table.h"
#include "tools/korvel/audio.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/module_io.h"
#include "tools/korvel/picture.h"
#include "tools/korvel/response.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

namespace {

constexpr char kPlotUsage[] =
    "usage: korvel plot MODULE.korvel -o PICTURE.png|svg [--what magnitude,phase,impulse,aliases]\n"
    "                   [--set P=V ...] [--level DBFS] [--impulse-ms MS] [--tone HZ] [--scale S]\n"
    "       korvel plot MODULE.korvel --csv [--what magnitude,phase | --what aliases] [--set P=V ...]\n"
    "                   [--level DBFS] [--tone HZ]\n"
    "\n"
    "Measures the module through the plug-in as a host hears it: an impulse on\n"
    "both channels, rendered until its response dies away, then its spectrum.\n"
    "  -o PICTURE        .png or .svg\n"
    "  --what LIST       panels, any of magnitude, phase (unwrapped, degrees),\n"
    "                    impulse and aliases, comma-separated (default magnitude).\n"
    "                    aliases: the spectrum a sine at the test level comes\n"
    "                    out with, relative to the sine, and its loudest alias\n"
    "                    below 20 kHz (a component that is not a harmonic)\n"
    "  --set P=V         host parameter P (number 1..25, or the name the module\n"
    "                    gives it) to V (0..1) before measuring; may repeat\n"
    "  --level DBFS      the impulse's height, -120 to 0 (default -6); matters\n"
    "                    only to non-linear modules, whose plot says so\n"
    "  --impulse-ms MS   length of the impulse panel (default: until the\n"
    "                    response falls 60 dB below its peak, at most 5000 ms)\n"
    "  --tone HZ         the sine for aliases, 20 to 20000 (default 10000); it\n"
    "                    is moved onto the nearest FFT bin\n"
    "  --scale S         picture size factor, 0.25 to 8 (default 1)\n"
    "  --csv             print frequency (Hz) and magnitude (dB) per channel,\n"
    "                    and phase when --what names it, for every FFT bin from\n"
    "                    20 Hz to 22050 Hz, instead of drawing (with --what\n"
    "                    aliases: the tone's spectrum, and the loudest alias on\n"
    "                    standard error)\n";

constexpr double kRate = kEngineRate;
constexpr double kLowHz = 20.0;
constexpr double kHighHz = 22050.0;
constexpr double kMinLevel = -120.0;
constexpr double kMaxLevel = 0.0;
// The quieter of the two measurements that decide whether a module is
// linear.
constexpr double kLinearityProbeDb = 20.0;
constexpr double kLinearToleranceDb = 0.05;
constexpr double kImpulseRangeDb = 60.0;
constexpr double kMaxImpulseMs = 5000.0;
constexpr double kRangeHz = 20000.0;
constexpr double kPhaseRangeDb = 100.0;

struct PlotOptions {
  std::string module, output;
  bool magnitude = false, phase = false, impulse = false, aliases = false;
  double tone_hz = 10000;
  std::vector<ParameterSetting> settings;
  std::vector<std::string> setting_texts;
  double level = -6.0;
  double impulse_ms = 0;  // 0: chosen from the response
  double scale = 1.0;
  bool csv = false;
};

std::optional<int> ParsePlotArgs(const Args& args, PlotOptions& o) {
  bool what_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--csv") {
      o.csv = true;
    } else if (a == "-o" || a == "--what" || a == "--set" || a == "--level" || a == "--impulse-ms" || a == "--scale" ||
               a == "--tone") {
      if (i + 1 >= args.size()) return UsageError(a + " needs a value", kPlotUsage);
      const std::string& v = args[++i];
      double number = 0;
      if (a == "-o") {
        if (!o.output.empty()) return UsageError("-o is given twice", kPlotUsage);
        o.output = v;
      } else if (a == "--what") {
        what_given = true;
        std::size_t start = 0;
        while (start <= v.size()) {
          const std::size_t comma = std::min(v.find(',', start), v.size());
          const std::string panel = v.substr(start, comma - start);
          if (panel == "magnitude") o.magnitude = true;
          else if (panel == "phase") o.phase = true;
          else if (panel == "impulse") o.impulse = true;
          else if (panel == "aliases") o.aliases = true;
          else return UsageError("--what takes magnitude, phase, impulse and aliases, not '" + panel + "'", kPlotUsage);
          start = comma + 1;
        }
      } else if (a == "--set") {
        ParameterSetting setting;
        std::string error;
        if (!ParseParameterSetting(v, setting, error)) return UsageError(error, kPlotUsage);
        o.settings.push_back(setting);
        o.setting_texts.push_back(v);
      } else if (!ParseNumber(v, number)) {
        return UsageError(a + " needs a number, not '" + v + "'", kPlotUsage);
      } else if (a == "--level") {
        if (number < kMinLevel || number > kMaxLevel) return UsageError("--level goes from -120 to 0 dBFS", kPlotUsage);
        o.level = number;
      } else if (a == "--impulse-ms") {
        if (number <= 0 || number > 10000) return UsageError("--impulse-ms goes up to 10000", kPlotUsage);
        o.impulse_ms = number;
      } else if (a == "--tone") {
        if (number < 20 || number > 20000) return UsageError("--tone goes from 20 to 20000 Hz", kPlotUsage);
        o.tone_hz = number;
      } else {
        if (number < 0.25 || number > 8) return UsageError("--scale needs a number from 0.25 to 8", kPlotUsage);
        o.scale = number;
      }
    } else if (!a.empty() && a[0] == '-') {
      return UsageError("unknown option '" + a + "'", kPlotUsage);
    } else if (o.module.empty()) {
      o.module = a;
    } else {
      return UsageError("one module only ('" + a + "' is extra)", kPlotUsage);
    }
  }
  if (!what_given) o.magnitude = true;
  if (o.module.empty()) return UsageError("no module given", kPlotUsage);
  if (o.csv) {
    if (!o.output.empty()) return UsageError("--csv prints to standard output; leave out -o", kPlotUsage);
    if (o.impulse) return UsageError("--csv prints the spectrum; the impulse panel is for pictures", kPlotUsage);
    if (o.aliases && (o.magnitude || o.phase))
      return UsageError("--csv prints one spectrum: the response's or, alone, the aliases'", kPlotUsage);
  } else {
    if (o.output.empty()) return UsageError("no picture given (-o PICTURE.png or .svg)", kPlotUsage);
    if (!PictureFormatOf(o.output))
      return UsageError("the picture must end in .png or .svg, not '" + o.output + "'", kPlotUsage);
  }
  return std::nullopt;
}

// Types whose output does not scale with their input.
bool HasNonLinearType(const PatchEngine& e) {
  for (int s = 0; s < e.SlotCount(); ++s) {
    const ComponentDescriptor* d = e.Descriptor(s);
    if (d == nullptr) continue;
    if (d->type == kMoogType || d->type == kClipType || d->type == kClipTopType || d->type == kClipBottomType)
      return true;
  }
  return false;
}

std::string Format(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

// Numbers on the axes, with a real minus sign.
std::string Signed(double value, const char* format = "%g") {
  if (std::fabs(value) < 1e-12) value = 0;
  const std::string text = Format(format, std::fabs(value));
  return value < 0 ? "\u2212" + text : text;
}

// ---- Drawing ----

constexpr double kWidth = 900;
constexpr double kLeft = 72, kRight = 28;
constexpr double kTitleHeight = 62, kNoteHeight = 18;
constexpr double kCaptionHeight = 22, kAxisHeight = 40;
constexpr double kMagnitudeHeight = 330, kPanelHeight = 190;

constexpr unsigned kInk = 0x222222, kGrey = 0x666666, kFrame = 0x888888;
constexpr unsigned kMinorGrid = 0xEAEAEA, kMajorGrid = 0xC4C4C4;
constexpr unsigned kChannelColour[2] = {0xBF5F1F, 0x1E54D9};  // blue, orange
constexpr unsigned kNoteColour = 0x1A1AA8;                    // dark red
constexpr double kDash[2] = {6, 4};

struct Panel {
  double x, y, w, h;
};

enum class Align { kLeft, kCentre, kRight };

void Text(cairo_t* cr, double x, double y, const std::string& text, double size, unsigned colour,
          Align align = Align::kLeft, bool bold = false) {
  cairo_select_font_face(cr, kSansFamily, CAIRO_FONT_SLANT_NORMAL, bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
  cairo_set_font_size(cr, size);
  cairo_text_extents_t e;
  cairo_text_extents(cr, text.c_str(), &e);
  if (align == Align::kCentre) x -= e.x_advance / 2;
  if (align == Align::kRight) x -= e.x_advance;
  SetColour(cr, colour);
  cairo_move_to(cr, x, y);
  cairo_show_text(cr, text.c_str());
}

void Line(cairo_t* cr, double x0, double y0, double x1, double y1, unsigned colour, double width = 1) {
  SetColour(cr, colour);
  cairo_set_line_width(cr, width);
  cairo_move_to(cr, x0, y0);
  cairo_line_to(cr, x1, y1);
  cairo_stroke(cr);
}

void Frame(cairo_t* cr, const Panel& p) {
  SetColour(cr, kFrame);
  cairo_set_line_width(cr, 1);
  cairo_rectangle(cr, p.x, p.y, p.w, p.h);
  cairo_stroke(cr);
}

// Grid lines fall on pixel centres at scale 1.
double Crisp(double v) { return std::floor(v) + 0.5; }

double FrequencyX(const Panel& p, double hz) { return p.x + p.w * std::log(hz / kLowHz) / std::log(kHighHz / kLowHz); }

// Decade lines, the 2..9 multiples between, and the labels a reader
// expects on an audio frequency axis.
void FrequencyAxis(cairo_t* cr, const Panel& p) {
  for (double decade = 10; decade <= 10000; decade *= 10) {
    for (int m = 1; m <= 9; ++m) {
      const double hz = decade * m;
      if (hz < kLowHz || hz > kHighHz) continue;
      const double x = Crisp(FrequencyX(p, hz));
      Line(cr, x, p.y, x, p.y + p.h, m == 1 ? kMajorGrid : kMinorGrid);
    }
  }
  const std::pair<double, const char*> labels[] = {{20, "20"},   {50, "50"},   {100, "100"}, {200, "200"},
                                                   {500, "500"}, {1000, "1k"}, {2000, "2k"}, {5000, "5k"},
                                                   {10000, "10k"}, {20000, "20k"}};
  for (const auto& [hz, text] : labels)
    Text(cr, FrequencyX(p, hz), p.y + p.h + 15, text, 11, kInk, Align::kCentre);
  Text(cr, p.x + p.w, p.y + p.h + 31, "Hz", 11, kGrey, Align::kRight);
}

// Horizontal grid from `low` to `high` every `step`, labelled every
// `label_every` steps.
void ValueAxis(cairo_t* cr, const Panel& p, double low, double high, double step, int label_every,
               const char* format = "%g") {
  const int count = static_cast<int>(std::llround((high - low) / step));
  for (int i = 0; i <= count; ++i) {
    const double v = low + i * step;
    const double y = p.y + p.h * (high - v) / (high - low);
    if (i > 0 && i < count) Line(cr, p.x, Crisp(y), p.x + p.w, Crisp(y), std::fabs(v) < 1e-9 ? kMajorGrid : kMinorGrid);
    const long index = std::lround((v - low) / step) + 100000L * label_every;
    if (index % label_every == 0) Text(cr, p.x - 6, y + 4, Signed(v, format), 11, kInk, Align::kRight);
  }
}

double NiceStep(double span, int most_steps) {
  const double raw = span / most_steps;
  const double power = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 2.5, 5.0, 10.0})
    if (m * power >= raw) return m * power;
  return 10 * power;
}

// The curve of one channel across the panel's columns: where a column
// spans several FFT bins it shows their lowest and highest value (so a comb
// keeps its teeth), where it spans none, the value between the two
// nearest bins.
void SpectrumCurve(cairo_t* cr, const Panel& p, const std::vector<double>& values, double bin_hz, double low,
                   double high) {
  auto y_of = [&](double v) {
    const double y = p.y + p.h * (high - v) / (high - low);
    return std::clamp(y, p.y - 4, p.y + p.h + 4);
  };
  auto at = [&](double hz) {
    const double position = hz / bin_hz;
    const std::size_t k = std::min(static_cast<std::size_t>(position), values.size() - 2);
    const double t = position - static_cast<double>(k);
    return values[k] + t * (values[k + 1] - values[k]);
  };
  const int columns = static_cast<int>(std::ceil(p.w));
  const double ratio = std::log(kHighHz / kLowHz);
  double last_y = 0;
  for (int i = 0; i < columns; ++i) {
    const double f0 = kLowHz * std::exp(ratio * i / columns);
    const double f1 = kLowHz * std::exp(ratio * (i + 1) / columns);
    const auto k0 = static_cast<std::size_t>(std::ceil(f0 / bin_hz));
    const auto k1 = std::min(static_cast<std::size_t>(std::floor(f1 / bin_hz)), values.size() - 1);
    const double x = p.x + p.w * (i + 0.5) / columns;
    double lo, hi;
    if (k1 > k0) {
      const auto [mn, mx] = std::minmax_element(values.begin() + k0, values.begin() + k1 + 1);
      lo = y_of(*mn), hi = y_of(*mx);  // y grows downward: lo is the larger y
    } else {
      lo = hi = y_of(at(kLowHz * std::exp(ratio * (i + 0.5) / columns)));
    }
    if (i == 0) {
      cairo_move_to(cr, x, hi);
    } else if (std::fabs(hi - last_y) < std::fabs(lo - last_y)) {
      cairo_line_to(cr, x, hi);
    } else {
      cairo_line_to(cr, x, lo);
      std::swap(lo, hi);
    }
    cairo_line_to(cr, x, lo);
    last_y = lo;
  }
}

void StrokeChannel(cairo_t* cr, int channel) {
  SetColour(cr, kChannelColour[channel]);
  cairo_set_line_width(cr, channel == 0 ? 1.6 : 1.4);
  cairo_set_line_join(cr, CAIRO_LINE_JOIN_ROUND);
  if (channel == 1) cairo_set_dash(cr, kDash, 2, 0);
  cairo_stroke(cr);
  cairo_set_dash(cr, nullptr, 0, 0);
}

void Legend(cairo_t* cr, const Panel& p) {
  const double w = 104, h = 24;
  const double x = p.x + p.w - w - 8, y = p.y + 8;
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_rectangle(cr, x, y, w, h);
  cairo_fill_preserve(cr);
  SetColour(cr, kFrame);
  cairo_set_line_width(cr, 1);
  cairo_stroke(cr);
  for (int c = 0; c < 2; ++c) {
    const double lx = x + 8 + c * 50;
    cairo_move_to(cr, lx, y + h / 2);
    cairo_line_to(cr, lx + 22, y + h / 2);
    StrokeChannel(cr, c);
    Text(cr, lx + 27, y + h / 2 + 4, c == 0 ? "L" : "R", 12, kInk, Align::kLeft, true);
  }
}

void Caption(cairo_t* cr, const Panel& p, const std::string& text) { Text(cr, p.x, p.y - 7, text, 12, kInk, Align::kLeft, true); }

// Lowest and highest value of both channels from 20 Hz to `up_to_hz`.
std::pair<double, double> RangeOf(const std::vector<double> (&values)[2], double bin_hz, double up_to_hz = kHighHz) {
  double lo = INFINITY, hi = -INFINITY;
  for (const auto& v : values) {
    const auto first = static_cast<std::size_t>(std::ceil(kLowHz / bin_hz));
    const auto last = std::min(v.size(), static_cast<std::size_t>(up_to_hz / bin_hz) + 1);
    for (std::size_t k = first; k < last; ++k) lo = std::min(lo, v[k]), hi = std::max(hi, v[k]);
  }
  return {lo, hi};
}

// A panel over frequency: caption, axes, both channels' curves clipped to
// the panel, frame and, if asked, the legend.
void SpectrumPanel(cairo_t* cr, const Panel& p, const char* caption, const std::vector<double> (&curves)[2],
                   double bin_hz, double low, double high, double step, int label_every, bool legend) {
  Caption(cr, p, caption);
  FrequencyAxis(cr, p);
  ValueAxis(cr, p, low, high, step, label_every);
  cairo_save(cr);
  cairo_rectangle(cr, p.x, p.y, p.w, p.h);
  cairo_clip(cr);
  for (int c = 0; c < 2; ++c) {
    SpectrumCurve(cr, p, curves[c], bin_hz, low, high);
    StrokeChannel(cr, c);
  }
  cairo_restore(cr);
  Frame(cr, p);
  if (legend) Legend(cr, p);
}

void MagnitudePanel(cairo_t* cr, const Panel& p, const Spectrum& s, bool legend) {
  // Ranged on the audible band: a filter's zero at half the sample rate
  // would otherwise stretch the scale for its last few bins.
  const auto [lo, hi] = RangeOf(s.magnitude_db, s.bin_hz, kRangeHz);
  const double top = std::max(6.0, 6 * std::ceil((hi + 0.5) / 6));
  const double bottom = std::clamp(6 * std::floor((lo - 0.5) / 6), top - 120, top - 24);
  const double pixels_per_step = p.h * 6 / (top - bottom);
  const int label_every = pixels_per_step >= 20 ? 1 : pixels_per_step >= 10 ? 2 : 4;
  SpectrumPanel(cr, p, "Magnitude (dB)", s.magnitude_db, s.bin_hz, bottom, top, 6, label_every, legend);
}

void PhasePanel(cairo_t* cr, const Panel& p, const Spectrum& s, bool legend) {
  // Ranged where the magnitude says something: deep in a stop band the
  // phase is rounding noise.
  double lo = INFINITY, hi = -INFINITY;
  const double peak = std::max(*std::max_element(s.magnitude_db[0].begin(), s.magnitude_db[0].end()),
                               *std::max_element(s.magnitude_db[1].begin(), s.magnitude_db[1].end()));
  for (int c = 0; c < 2; ++c) {
    const auto first = static_cast<std::size_t>(std::ceil(kLowHz / s.bin_hz));
    for (std::size_t k = first; k < s.phase_deg[c].size(); ++k)
      if (s.magnitude_db[c][k] > peak - kPhaseRangeDb) lo = std::min(lo, s.phase_deg[c][k]), hi = std::max(hi, s.phase_deg[c][k]);
  }
  if (!(lo <= hi)) lo = hi = 0;
  double step = 15;
  for (const double candidate : {15.0, 30.0, 45.0, 90.0, 180.0, 360.0, 720.0, 1440.0, 2880.0, 5760.0}) {
    step = candidate;
    if ((hi - lo) / candidate <= 8) break;
  }
  if (hi - lo > 8 * step) step = NiceStep(hi - lo, 8);
  double low = step * std::floor(lo / step), high = step * std::ceil(hi / step);
  if (high - low < 2 * step) low -= step, high += step;
  SpectrumPanel(cr, p, "Phase (degrees, unwrapped)", s.phase_deg, s.bin_hz, low, high, step, 1, legend);
}

// Until the response stays 60 dB under its peak, rounded up to 1, 2 or 5
// times a power of ten milliseconds.
double ImpulseSpanMs(const ImpulseResponse& r) {
  double peak = 0;
  for (const auto& c : r.channel)
    for (double v : c) peak = std::max(peak, std::fabs(v));
  std::size_t last = 0;
  const double floor = peak * std::pow(10.0, -kImpulseRangeDb / 20);
  for (const auto& c : r.channel)
    for (std::size_t i = 0; i < c.size(); ++i)
      if (std::fabs(c[i]) > floor) last = std::max(last, i);
  const double ms = std::max(1.0, 1000.0 * static_cast<double>(last + 1) / kRate);
  for (double power = 1; power < kMaxImpulseMs; power *= 10)
    for (double m : {1.0, 2.0, 5.0})
      if (m * power >= ms) return std::min(m * power, kMaxImpulseMs);
  return kMaxImpulseMs;
}

void ImpulsePanel(cairo_t* cr, const Panel& p, const ImpulseResponse& r, double span_ms, bool legend) {
  // The response ends at its last sound; silence follows.
  const std::size_t frames = static_cast<std::size_t>(std::ceil(span_ms * kRate / 1000)) + 1;
  const std::size_t kept = std::min(frames, r.channel[0].size());
  double peak = 0;
  for (const auto& c : r.channel)
    for (std::size_t i = 0; i < kept; ++i) peak = std::max(peak, std::fabs(c[i]));
  const double step = NiceStep(std::max(peak, 1e-9) * 2.1, 4);
  const double high = step * std::ceil(std::max(peak, 1e-9) / step);
  Caption(cr, p, "Impulse response, first " + Format("%g", span_ms) + " ms (output / impulse height)");
  ValueAxis(cr, p, -high, high, step, 1);
  const double time_step = NiceStep(span_ms, 8);
  for (double t = 0; t <= span_ms + 1e-9; t += time_step) {
    const double x = p.x + p.w * t / span_ms;
    if (t > 0 && t < span_ms - 1e-9) Line(cr, Crisp(x), p.y, Crisp(x), p.y + p.h, kMinorGrid);
    Text(cr, x, p.y + p.h + 15, Format("%g", t), 11, kInk, Align::kCentre);
  }
  Text(cr, p.x + p.w, p.y + p.h + 31, "ms", 11, kGrey, Align::kRight);
  cairo_save(cr);
  cairo_rectangle(cr, p.x, p.y, p.w, p.h);
  cairo_clip(cr);
  auto y_of = [&](double v) { return p.y + p.h * (high - v) / (2 * high); };
  const double per_frame = p.w * 1000 / (span_ms * kRate);
  for (int c = 0; c < 2; ++c) {
    std::vector<double> h(r.channel[c].begin(), r.channel[c].begin() + static_cast<std::ptrdiff_t>(kept));
    h.resize(frames, 0.0);
    if (per_frame >= 0.5) {
      for (std::size_t i = 0; i < frames; ++i) {
        const double x = p.x + per_frame * static_cast<double>(i);
        if (i == 0) cairo_move_to(cr, x, y_of(h[i]));
        else cairo_line_to(cr, x, y_of(h[i]));
      }
      StrokeChannel(cr, c);
      if (per_frame >= 4) {  // few enough to show each sample
        SetColour(cr, kChannelColour[c]);
        for (std::size_t i = 0; i < frames; ++i) {
          cairo_arc(cr, p.x + per_frame * static_cast<double>(i), y_of(h[i]), 2.2, 0, 2 * std::numbers::pi);
          cairo_fill(cr);
        }
      }
    } else {  // many frames to a column: their extremes
      const int columns = static_cast<int>(std::ceil(p.w));
      for (int i = 0; i < columns; ++i) {
        const std::size_t f0 = frames * i / columns, f1 = std::max(f0 + 1, frames * (i + 1) / columns);
        const auto [mn, mx] = std::minmax_element(h.begin() + f0, h.begin() + f1);
        const double x = p.x + i + 0.5;
        if (i == 0) cairo_move_to(cr, x, y_of(*mx));
        else cairo_line_to(cr, x, y_of(*mx));
        cairo_line_to(cr, x, y_of(*mn));
      }
      StrokeChannel(cr, c);
    }
  }
  cairo_restore(cr);
  Frame(cr, p);
  if (legend) Legend(cr, p);
}

// The tone's spectrum relative to the tone, 0 dB at the top, with the
// loudest alias marked and named.
void AliasPanel(cairo_t* cr, const Panel& p, const AliasMeasurement& a, const std::string& level, bool legend) {
  const double top = 10, bottom = -160;
  const std::string caption = "Spectrum of a " + Format("%.1f", a.tone_hz) + " Hz sine at " + level +
                              " (dB relative to the sine)";
  SpectrumPanel(cr, p, caption.c_str(), a.spectrum.magnitude_db, a.spectrum.bin_hz, bottom, top, 10, 2, legend);
  if (!std::isfinite(a.loudest_db)) return;
  const double x = FrequencyX(p, a.loudest_hz);
  const double y = p.y + p.h * (top - std::max(a.loudest_db, bottom)) / (top - bottom);
  SetColour(cr, kNoteColour);
  cairo_set_line_width(cr, 1.5);
  cairo_new_path(cr);
  cairo_arc(cr, x, y, 5, 0, 2 * std::numbers::pi);
  cairo_stroke(cr);
  const std::string label = "loudest alias below 20 kHz: " + Signed(a.loudest_db, "%.1f") + " dB at " +
                            Format("%.0f", a.loudest_hz) + " Hz";
  const bool right_half = x > p.x + p.w / 2;
  Text(cr, right_half ? x - 9 : x + 9, std::max(y - 8, p.y + 14), label, 12, kNoteColour,
       right_half ? Align::kRight : Align::kLeft, true);
}

struct Measurement {
  std::string title, subtitle, note;
  ImpulseResponse response;
  Spectrum spectrum;
  AliasMeasurement aliases;
  std::string level;
};

bool DrawPlot(const PlotOptions& o, const Measurement& m, std::string& error) {
  double height = kTitleHeight + (m.note.empty() ? 0 : kNoteHeight);
  const double mag_top = height + kCaptionHeight;
  if (o.magnitude) height += kCaptionHeight + kMagnitudeHeight + kAxisHeight;
  const double phase_top = height + kCaptionHeight;
  if (o.phase) height += kCaptionHeight + kPanelHeight + kAxisHeight;
  const double impulse_top = height + kCaptionHeight;
  if (o.impulse) height += kCaptionHeight + kPanelHeight + kAxisHeight;
  const double aliases_top = height + kCaptionHeight;
  if (o.aliases) height += kCaptionHeight + kMagnitudeHeight + kAxisHeight;
  height += 8;

  auto picture = Picture::Begin(o.output, {{o.module, "the module"}}, *PictureFormatOf(o.output), kWidth, height,
                                o.scale, error);
  if (!picture) return false;
  cairo_t* cr = picture->cr();
  cairo_set_source_rgb(cr, 1, 1, 1);
  cairo_paint(cr);
  Text(cr, kLeft, 28, m.title, 20, kInk, Align::kLeft, true);
  Text(cr, kLeft, 48, m.subtitle, 12, kGrey);
  if (!m.note.empty()) Text(cr, kLeft, 66, m.note, 12, kNoteColour, Align::kLeft, true);
  const double w = kWidth - kLeft - kRight;
  if (o.magnitude) MagnitudePanel(cr, {kLeft, mag_top, w, kMagnitudeHeight}, m.spectrum, true);
  if (o.phase) PhasePanel(cr, {kLeft, phase_top, w, kPanelHeight}, m.spectrum, !o.magnitude);
  if (o.impulse)
    ImpulsePanel(cr, {kLeft, impulse_top, w, kPanelHeight}, m.response,
                 o.impulse_ms > 0 ? o.impulse_ms : ImpulseSpanMs(m.response), !o.magnitude && !o.phase);
  if (o.aliases)
    AliasPanel(cr, {kLeft, aliases_top, w, kMagnitudeHeight}, m.aliases, m.level,
               !o.magnitude && !o.phase && !o.impulse);
  return picture->Finish(error);
}

bool ReachesTheDelayLine(const PatchEngine& e) {
  for (int s = 0; s < e.SlotCount(); ++s)
    if (e.Descriptor(s) != nullptr && kComponentTypeTable.line_access[e.Descriptor(s)->type] != LineAccess::kNone)
      return true;
  return false;
}

// A number with `decimals` decimals; one that rounds to zero is "0.0000",
// never "-0.0000", so a flat response reads as flat.
std::string Fixed(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  if (text[0] == '-' && std::strspn(text + 1, "0.") == std::strlen(text + 1)) return text + 1;
  return text;
}

void PrintCsv(const PlotOptions& o, const Spectrum& s) {
  std::printf(o.phase ? "frequency_hz,left_db,right_db,left_phase_deg,right_phase_deg\n"
                      : "frequency_hz,left_db,right_db\n");
  const auto first = static_cast<std::size_t>(std::ceil(kLowHz / s.bin_hz));
  for (std::size_t k = first; k < s.magnitude_db[0].size(); ++k) {
    std::printf("%.4f,%s,%s", k * s.bin_hz, Fixed(s.magnitude_db[0][k], 4).c_str(),
                Fixed(s.magnitude_db[1][k], 4).c_str());
    if (o.phase) std::printf(",%s,%s", Fixed(s.phase_deg[0][k], 3).c_str(), Fixed(s.phase_deg[1][k], 3).c_str());
    std::printf("\n");
  }
}

}  // namespace

int PlotCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kPlotUsage, stdout);
    return kExitOk;
  }
  PlotOptions o;
  if (auto code = ParsePlotArgs(args, o)) return *code;

  std::string error;
  const auto module_file = LoadModule(o.module, error);
  if (!module_file) return Fail(kExitFailure, error);
  // A picture that could not be written is refused before the measuring;
  // so is CSV on a standard output appended to the module.
  const std::string output_name = o.csv ? "standard output" : "'" + o.output + "'";
  if (!CheckOutputTarget(o.csv ? "-" : o.output, {{o.module, "the module"}}, Existing::kReplace, error))
    return Fail(kExitFailure, "cannot write " + output_name + ": " + error);
  auto library = pluginhost::Library::Load(pluginhost::DefaultLibraryPath(), error);
  if (!library) return Fail(kExitFailure, error);

  const PatchEngine& engine = *module_file->engine;
  MeasureRequest request{module_file->bytes, FolderOf(o.module), o.settings, o.level,
                         ReachesTheDelayLine(engine) ? kDelayLineLength : 0};
  Measurement m;
  m.level = Signed(o.level, "%.1f") + " dBFS";
  const bool responses = o.magnitude || o.phase || o.impulse;
  if (responses) {
    // Once at the chosen level and once well below it: a linear module
    // answers both alike.
    ImpulseResponse quieter;
    if (!MeasureImpulse(*library, request, m.response, error)) return Fail(kExitFailure, "'" + o.module + "': " + error);
    MeasureRequest probe = request;
    probe.level_dbfs -= kLinearityProbeDb;
    if (!MeasureImpulse(*library, probe, quieter, error)) return Fail(kExitFailure, "'" + o.module + "': " + error);
    const std::size_t frames = std::max(m.response.channel[0].size(), quieter.channel[0].size());
    m.spectrum = SpectrumOf(m.response, kRate, frames);
    const Spectrum quieter_spectrum = SpectrumOf(quieter, kRate, frames);
    const bool non_linear = HasNonLinearType(engine) ||
                            LargestDifferenceDb(m.spectrum, quieter_spectrum) > kLinearToleranceDb;
    const bool silent = std::all_of(m.response.channel[0].begin(), m.response.channel[0].end(), [](double v) { return v == 0; }) &&
                        std::all_of(m.response.channel[1].begin(), m.response.channel[1].end(), [](double v) { return v == 0; });
    if (silent) {
      m.note = "The module gives no output: silence at every frequency.";
    } else if (non_linear) {
      m.note = "Non-linear module: these curves hold at the test level, " + m.level + " (--level).";
    }
  }
  if (o.aliases && !MeasureAliases(*library, request, o.tone_hz, m.aliases, error))
    return Fail(kExitFailure, "'" + o.module + "': " + error);
  const std::string alias_line =
      std::isfinite(m.aliases.loudest_db)
          ? "loudest alias below 20 kHz: " + Format("%.1f", m.aliases.loudest_db) + " dB at " +
                Format("%.1f", m.aliases.loudest_hz) + " Hz (" + (m.aliases.loudest_channel == 0 ? "left" : "right") +
                "), for a " + Format("%.1f", m.aliases.tone_hz) + " Hz sine at " + m.level
          : std::string();

  if (o.csv) {
    if (!m.note.empty()) std::fprintf(stderr, "korvel: note: %s\n", m.note.c_str());
    if (o.aliases) {
      std::fprintf(stderr, "korvel: %s\n", alias_line.c_str());
      PrintCsv(o, m.aliases.spectrum);
    } else {
      PrintCsv(o, m.spectrum);
    }
    return kExitOk;
  }
  m.title = !engine.ModuleName().empty() ? engine.ModuleName() : std::filesystem::path(o.module).stem().string();
  m.subtitle = responses ? "Impulse at " + m.level + " through the plug-in on both channels, " + Format("%g", kRate) +
                               " Hz; " + std::to_string(2 * (m.spectrum.magnitude_db[0].size() - 1)) + "-point FFT"
                         : "A sine through the plug-in on both channels, " + Format("%g", kRate) + " Hz; " +
                               std::to_string(kAliasFrames) + "-point FFT";
  for (const std::string& s : o.setting_texts) m.subtitle += "; " + s;
  if (!DrawPlot(o, m, error)) return Fail(kExitFailure, error);
  return kExitOk;
}

}  // namespace korvel::cli
