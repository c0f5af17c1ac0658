#include "tools/korvel/audio.h"

#include <ebur128.h>
#include <sndfile.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "tools/korvel/noise_shaping.h"
#include "tools/korvel/stdin_spool.h"
#include "tools/korvel/text_format.h"

namespace korvel::cli {

static_assert(std::endian::native == std::endian::little, "the WAV stream writes samples as they lie in memory");

namespace {

// ------------------------------------------------------------------ sources

class FileSource final : public AudioSource {
 public:
  // `spool`, when not -1, is the descriptor libsndfile reads in place of
  // the input's own (standard input passed on or spooled); closed here.
  FileSource(std::unique_ptr<InputFile> input, int spool, SNDFILE* file, const SF_INFO& info)
      : input_(std::move(input)), spool_(spool), file_(file) {
    rate_ = info.samplerate;
    channels_ = info.channels;
    length_hint_ = info.seekable ? info.frames : -1;
  }
  ~FileSource() override {
    sf_close(file_);
    if (spool_ >= 0) close(spool_);
  }

  std::int64_t Read(float* samples, std::int64_t frames) override {
    errno = 0;
    const sf_count_t got = sf_readf_float(file_, samples, frames);
    if (got == 0 && sf_error(file_) != SF_ERR_NO_ERROR) {
      error_ = SndfileErrorText(sf_strerror(file_), errno);
      return -1;
    }
    return got;
  }

 private:
  std::unique_ptr<InputFile> input_;  // the descriptor libsndfile reads
  int spool_;
  SNDFILE* file_;
};

// A fixed generator (not std::uniform_*, whose output varies by library)
// keeps the signal identical everywhere.
class Noise {
 public:
  float Next() {
    state_ = state_ * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<float>(static_cast<std::int32_t>(state_ >> 32)) / 2147483648.0f;
  }

 private:
  std::uint64_t state_ = 0x4B6F7276656CULL;
};

// A plucked string: a burst of noise circulating through a delay line whose
// averaging loses high partials, so the tone dies away like a string's.
class Pluck {
 public:
  Pluck(int left_percent, int start, double frequency, Noise& noise)
      : start_(start),
        pan_left_(left_percent / 100.0f),
        pan_right_(1.0f - left_percent / 100.0f),
        line_(static_cast<std::size_t>(kEngineRate / frequency)) {
    for (float& v : line_) v = noise.Next();
  }
  // Adds this string's contribution to frame `frame`, if it sounds there.
  void Add(int frame, float& left, float& right) {
    if (frame < start_ || frame >= start_ + kLength) return;
    const int period = static_cast<int>(line_.size());
    const int next = (pos_ + 1) % period;
    const float sample = line_[pos_];
    line_[pos_] = 0.4985f * (line_[pos_] + line_[next]);
    pos_ = next;
    left += 0.45f * pan_left_ * sample;
    right += 0.45f * pan_right_ * sample;
  }

 private:
  static constexpr int kLength = kEngineRate * 3 / 2;
  int start_;
  float pan_left_, pan_right_;
  std::vector<float> line_;
  int pos_ = 0;
};

// Generated as it is read, frame by frame, so a short render does not pay
// for the whole signal: the strings are strung (their noise drawn) at the
// start, in order, and the burst draws its noise as its frames come, which
// gives the same values as computing the whole signal at once.
class SignalSource final : public AudioSource {
 public:
  SignalSource() {
    length_hint_ = static_cast<std::int64_t>(kTestSignalSeconds * kEngineRate);
    struct Note {
      double at_seconds, frequency;
      int left_percent;
    };
    const Note notes[] = {{0.00, 220.00, 60}, {0.40, 329.63, 40}, {0.80, 440.00, 55},
                          {1.20, 261.63, 45}, {1.60, 392.00, 65}, {2.00, 110.00, 50}};
    for (const Note& n : notes)
      plucks_.emplace_back(n.left_percent, static_cast<int>(n.at_seconds * kEngineRate), n.frequency, noise_);
  }
  std::int64_t Read(float* stereo, std::int64_t frames) override {
    const std::int64_t n = std::min<std::int64_t>(frames, length_hint_ - position_);
    for (std::int64_t i = 0; i < n; ++i) {
      const int frame = static_cast<int>(position_ + i);
      float left = 0.0f, right = 0.0f;
      for (Pluck& p : plucks_) p.Add(frame, left, right);
      // A quarter-second noise burst with a falling envelope at 3 s.
      if (frame >= kBurstStart && frame < kBurstStart + kBurstLength) {
        const float envelope = 0.3f * (1.0f - static_cast<float>(frame - kBurstStart) / kBurstLength);
        left += envelope * noise_.Next();
        right += envelope * noise_.Next();
      }
      stereo[2 * i] = left;
      stereo[2 * i + 1] = right;
    }
    position_ += n;
    return n;
  }

 private:
  static constexpr int kBurstStart = 3 * kEngineRate, kBurstLength = kEngineRate / 4;
  Noise noise_;
  std::vector<Pluck> plucks_;
  std::int64_t position_ = 0;
};

// ------------------------------------------------------------------ quantising

enum class Encoding { kF32, kF64, kI16, kI24, kLibrary };

Encoding EncodingOf(int subtype) {
  switch (subtype) {
    case SF_FORMAT_FLOAT: return Encoding::kF32;
    case SF_FORMAT_DOUBLE: return Encoding::kF64;
    case SF_FORMAT_PCM_16: return Encoding::kI16;
    case SF_FORMAT_PCM_24: return Encoding::kI24;
    default: return Encoding::kLibrary;  // compressed: libsndfile takes floats
  }
}

// Rounds to nearest (ties to even) in the default rounding mode, without a
// library call, so the loop vectorises. Exact for |x| < 2^51.
inline double RoundNearest(double x) {
  constexpr double kMagic = 6755399441055744.0;  // 1.5 * 2^52
  return (x + kMagic) - kMagic;
}

// File-scale floats to integers of `bits` bits, rounded to nearest, with
// TPDF dither of ±1 LSB, flat or noise-shaped, or none; counts what clips,
// per channel. A sample already on the grid is written as it is, without
// dither: a 16-bit file through a passthrough comes out bit for bit, and
// digital silence stays silent.
class Quantiser {
 public:
  Quantiser(int bits, Dither dither, int channels, int rate)
      : scale_(std::ldexp(1.0, bits - 1)), dither_(dither), channels_(channels) {
    if (dither_ == Dither::kShaped) {
      taps_ = NoiseShapingTaps(rate);
      errors_.assign(static_cast<std::size_t>(channels) * taps_.size(), 0.0);
    }
  }

  void Convert(const float* in, std::int32_t* out, std::int64_t frames, std::int64_t* over) {
    const double low = -scale_, high = scale_ - 1;
    const int channels = channels_;
    for (std::int64_t f = 0; f < frames; ++f) {
      for (int c = 0; c < channels; ++c) {
        const double exact = in[f * channels + c] * scale_;
        double x = RoundNearest(exact);
        if (dither_ != Dither::kNone) x = x == exact ? Unshaped(c, exact) : Dithered(c, exact);
        if (x > high) {
          x = high;
          ++over[c];
        } else if (x < low) {
          x = low;
          ++over[c];
        }
        out[f * channels + c] = static_cast<std::int32_t>(x);
      }
    }
  }

 private:
  // A value on the grid: itself, and no error for the shaping to carry.
  double Unshaped(int c, double exact) {
    if (dither_ == Dither::kShaped) Remember(c, 0.0);
    return exact;
  }
  double Dithered(int c, double exact) {
    double wanted = exact;
    if (dither_ == Dither::kShaped) {
      // Error feedback: the errors of the last samples, filtered, are added
      // before rounding, so the output error is the new error through the
      // shaping filter.
      const double* e = &errors_[static_cast<std::size_t>(c) * taps_.size()];
      for (std::size_t k = 0; k < taps_.size(); ++k) wanted += taps_[k] * e[k];
    }
    const double x = RoundNearest(wanted + Uniform() - Uniform());
    if (dither_ == Dither::kShaped) Remember(c, x - wanted);
    return x;
  }
  void Remember(int c, double error) {
    double* e = &errors_[static_cast<std::size_t>(c) * taps_.size()];
    for (std::size_t k = taps_.size() - 1; k > 0; --k) e[k] = e[k - 1];
    e[0] = error;
  }

  // [0, 1) from a xorshift generator with a fixed seed: the same output on
  // every run.
  double Uniform() {
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return static_cast<double>(state_ >> 8) * (1.0 / 16777216.0);
  }
  double scale_;
  Dither dither_;
  int channels_;
  std::vector<double> taps_;    // the shaping filter's a1..aM
  std::vector<double> errors_;  // per channel, the last M errors, newest first
  std::uint32_t state_ = 0x6B6F7276u;
};

void CountOverFullScale(const float* in, std::int64_t frames, int channels, std::int64_t* over) {
  for (int c = 0; c < channels; ++c) {
    std::int64_t n = 0;
    for (std::int64_t f = 0; f < frames; ++f) n += std::fabs(in[f * channels + c]) > 1.0f;
    over[c] += n;
  }
}

// ------------------------------------------------------------------ outputs

// Everything an output converts before writing, for both kinds of output.
class Encoder {
 public:
  Encoder(Encoding encoding, int channels, int rate, Dither dither)
      : encoding_(encoding), channels_(channels),
        quantiser_(encoding == Encoding::kI16 ? 16 : 24, encoding == Encoding::kI16 ? dither : Dither::kNone, channels,
                   rate) {}

  // Converts a block into the encoder's buffer of whole ints or doubles.
  void Prepare(const float* samples, std::int64_t frames, std::int64_t* over) {
    const std::size_t n = static_cast<std::size_t>(frames) * channels_;
    switch (encoding_) {
      case Encoding::kF32:
      case Encoding::kLibrary:
        CountOverFullScale(samples, frames, channels_, over);
        break;
      case Encoding::kF64:
        CountOverFullScale(samples, frames, channels_, over);
        doubles_.resize(n);
        for (std::size_t i = 0; i < n; ++i) doubles_[i] = samples[i];
        break;
      case Encoding::kI16:
      case Encoding::kI24:
        ints_.resize(n);
        quantiser_.Convert(samples, ints_.data(), frames, over);
        break;
    }
  }
  Encoding encoding() const { return encoding_; }
  std::vector<double>& doubles() { return doubles_; }
  std::vector<std::int32_t>& ints() { return ints_; }

 private:
  Encoding encoding_;
  int channels_;
  Quantiser quantiser_;
  std::vector<double> doubles_;
  std::vector<std::int32_t> ints_;
};

// libsndfile writes through these into the output file, so a failed write
// is known in the system's own words ("No space left on device") whatever
// the file type: some of its writers (Ogg) do not pass the error on.
sf_count_t OutputLength(void* file) { return static_cast<OutputFile*>(file)->Length(); }
sf_count_t OutputSeek(sf_count_t offset, int whence, void* file) {
  return static_cast<OutputFile*>(file)->Seek(offset, whence);
}
sf_count_t OutputRead(void* data, sf_count_t count, void* file) {
  const long long got = static_cast<OutputFile*>(file)->Read(data, static_cast<std::size_t>(count));
  return got < 0 ? 0 : got;
}
sf_count_t OutputWrite(const void* data, sf_count_t count, void* file) {
  return static_cast<OutputFile*>(file)->Write(data, static_cast<std::size_t>(count)) ? count : 0;
}
sf_count_t OutputTell(void* file) { return static_cast<OutputFile*>(file)->Seek(0, SEEK_CUR); }
SF_VIRTUAL_IO kOutputIo = {OutputLength, OutputSeek, OutputRead, OutputWrite, OutputTell};

class SndfileOutput final : public AudioOutput {
 public:
  SndfileOutput(SNDFILE* file, OutputFile* out, Encoding encoding, int channels, int rate, Dither dither)
      : file_(file), out_(out), encoder_(encoding, channels, rate, dither) {
    clips_ = encoding == Encoding::kI16 || encoding == Encoding::kI24;
    over_.assign(channels, 0);
  }
  ~SndfileOutput() override { Close(); }

  bool Write(const float* samples, std::int64_t frames) override {
    encoder_.Prepare(samples, frames, over_.data());
    sf_count_t wrote = 0;
    errno = 0;
    switch (encoder_.encoding()) {
      case Encoding::kF32:
      case Encoding::kLibrary: wrote = sf_writef_float(file_, samples, frames); break;
      case Encoding::kF64: wrote = sf_writef_double(file_, encoder_.doubles().data(), frames); break;
      case Encoding::kI16: {
        auto& ints = encoder_.ints();
        shorts_.resize(ints.size());
        std::copy(ints.begin(), ints.end(), shorts_.begin());
        wrote = sf_writef_short(file_, shorts_.data(), frames);
        break;
      }
      case Encoding::kI24: {
        // libsndfile keeps the top 24 bits of an int.
        for (std::int32_t& v : encoder_.ints()) v = static_cast<std::int32_t>(static_cast<std::uint32_t>(v) << 8);
        wrote = sf_writef_int(file_, encoder_.ints().data(), frames);
        break;
      }
    }
    if (!out_->error().empty()) {
      error_ = out_->error();
      return false;
    }
    if (wrote != frames) {
      error_ = SndfileErrorText(sf_strerror(file_), errno);
      return false;
    }
    return true;
  }

  bool Close() override {
    if (file_ == nullptr) return error_.empty();
    errno = 0;
    const int rc = sf_close(file_);
    file_ = nullptr;
    if (!out_->error().empty()) {
      error_ = out_->error();
      return false;
    }
    if (rc != 0) error_ = SndfileErrorText(sf_error_number(rc), errno);
    return rc == 0;
  }

 private:
  SNDFILE* file_;
  OutputFile* out_;  // owned by the caller, who commits it
  Encoder encoder_;
  std::vector<std::int16_t> shorts_;
};

// A WAV stream: the sizes in the header say "as long as it goes" (the
// largest values), as streams written by other tools do; they are put
// right at the end when the output turns out to be seekable after all.
class WavStreamOutput final : public AudioOutput {
 public:
  WavStreamOutput(int fd, Encoding encoding, int channels, int rate, Dither dither)
      : fd_(fd), channels_(channels), encoder_(encoding, channels, rate, dither) {
    clips_ = encoding == Encoding::kI16 || encoding == Encoding::kI24;
    over_.assign(channels, 0);
    bytes_per_sample_ = encoding == Encoding::kF64 ? 8 : encoding == Encoding::kI16 ? 2 : encoding == Encoding::kI24 ? 3 : 4;
    const bool floating = encoding == Encoding::kF32 || encoding == Encoding::kF64;
    header_.clear();
    Put("RIFF");
    Put32(0xFFFFFFFFu);
    Put("WAVE");
    Put("fmt ");
    Put32(floating ? 18 : 16);
    Put16(floating ? 3 : 1);
    Put16(static_cast<std::uint16_t>(channels));
    Put32(static_cast<std::uint32_t>(rate));
    Put32(static_cast<std::uint32_t>(rate * channels * bytes_per_sample_));
    Put16(static_cast<std::uint16_t>(channels * bytes_per_sample_));
    Put16(static_cast<std::uint16_t>(8 * bytes_per_sample_));
    if (floating) Put16(0);
    Put("data");
    Put32(0xFFFFFFFFu);
    // Where the header starts, when the output can be written at an
    // offset (a file, not a pipe, and not opened for appending).
    const off_t at = lseek(fd_, 0, SEEK_CUR);
    const int flags = fcntl(fd_, F_GETFL);
    header_at_ = at >= 0 && flags >= 0 && (flags & O_APPEND) == 0 ? at : -1;
    ok_ = WriteAll(header_.data(), header_.size());
  }
  ~WavStreamOutput() override { Close(); }

  bool Write(const float* samples, std::int64_t frames) override {
    if (!ok_) return false;
    encoder_.Prepare(samples, frames, over_.data());
    const std::size_t n = static_cast<std::size_t>(frames) * channels_;
    const void* data = samples;
    std::size_t size = n * 4;
    switch (encoder_.encoding()) {
      case Encoding::kF32:
      case Encoding::kLibrary: break;
      case Encoding::kF64:
        data = encoder_.doubles().data();
        size = n * 8;
        break;
      case Encoding::kI16:
      case Encoding::kI24: {
        bytes_.resize(n * bytes_per_sample_);
        const auto& ints = encoder_.ints();
        for (std::size_t i = 0; i < n; ++i)
          std::memcpy(&bytes_[i * bytes_per_sample_], &ints[i], bytes_per_sample_);  // little-endian low bytes
        data = bytes_.data();
        size = bytes_.size();
        break;
      }
    }
    data_bytes_ += size;
    return ok_ = WriteAll(data, size);
  }

  bool Close() override {
    if (closed_) return ok_;
    closed_ = true;
    // An odd-sized data chunk gets its pad byte.
    if (ok_ && data_bytes_ % 2 == 1) ok_ = WriteAll("", 1);
    if (ok_ && header_at_ >= 0 && data_bytes_ + header_.size() - 8 < 0xFFFFFFFFull) {
      const auto riff = static_cast<std::uint32_t>(header_.size() - 8 + data_bytes_ + data_bytes_ % 2);
      const auto data = static_cast<std::uint32_t>(data_bytes_);
      ok_ = pwrite(fd_, &riff, 4, header_at_ + 4) == 4 &&
            pwrite(fd_, &data, 4, header_at_ + static_cast<off_t>(header_.size()) - 4) == 4;
    }
    return ok_;
  }

 private:
  void Put(const char* tag) { header_.insert(header_.end(), tag, tag + 4); }
  void Put16(std::uint16_t v) { header_.insert(header_.end(), {char(v & 0xFF), char(v >> 8)}); }
  void Put32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) header_.push_back(static_cast<char>(v >> (8 * i)));
  }
  bool WriteAll(const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
      const ssize_t wrote = write(fd_, p, size);
      if (wrote < 0) {
        if (errno == EINTR) continue;
        error_ = SystemErrorText(errno);
        return false;
      }
      p += wrote;
      size -= static_cast<std::size_t>(wrote);
    }
    return true;
  }

  int fd_;
  int channels_;
  Encoder encoder_;
  std::size_t bytes_per_sample_;
  std::vector<char> header_;
  std::vector<char> bytes_;
  std::uint64_t data_bytes_ = 0;
  off_t header_at_ = -1;
  bool ok_ = true;
  bool closed_ = false;
};

}  // namespace

// ------------------------------------------------------------------ opening

std::unique_ptr<AudioSource> OpenAudioFile(const std::string& path, std::string& error) {
  const std::string name = path == "-" ? "standard input" : "'" + path + "'";
  // The one reader's checks (a regular file or a pipe, never a device or a
  // directory, and no wait on a FIFO), then libsndfile on what it opened.
  std::string reason;
  auto input = InputFile::Open(path, /*pipes=*/true, reason);
  if (!input) {
    error = "cannot read " + name + ": " + reason;
    return nullptr;
  }
  // A pipe on standard input is passed on or spooled, so that every type
  // libsndfile reads also reads from it (FLAC seeks back to its header).
  int spool = -1;
  if (path == "-" && input->is_pipe()) {
    spool = OpenStandardInput(error);
    if (spool < 0) return nullptr;
  }
  SF_INFO info{};
  errno = 0;
  SNDFILE* file = sf_open_fd(spool >= 0 ? spool : input->fd(), SFM_READ, &info, SF_FALSE);
  if (file == nullptr) {
    error = "cannot read " + name + ": " + SndfileErrorText(sf_strerror(nullptr), errno);
    if (spool >= 0) close(spool);
    return nullptr;
  }
  if (info.channels < 1 || info.channels > kMaxChannels) {
    error = name + " has " + std::to_string(info.channels) + " channels; at most " + std::to_string(kMaxChannels) +
            " are rendered";
    sf_close(file);
    if (spool >= 0) close(spool);
    return nullptr;
  }
  return std::make_unique<FileSource>(std::move(input), spool, file, info);
}

std::unique_ptr<AudioSource> OpenTestSignal() { return std::make_unique<SignalSource>(); }

std::optional<Dither> ParseDither(const std::string& name) {
  if (name == "none") return Dither::kNone;
  if (name == "tpdf") return Dither::kTpdf;
  if (name == "shaped") return Dither::kShaped;
  return std::nullopt;
}

std::optional<SampleFormat> ParseSampleFormat(const std::string& name) {
  if (name == "f32") return SampleFormat::kF32;
  if (name == "f64") return SampleFormat::kF64;
  if (name == "pcm16") return SampleFormat::kPcm16;
  if (name == "pcm24") return SampleFormat::kPcm24;
  return std::nullopt;
}

namespace {
struct TypeName {
  std::string name;
  int major;
};
std::vector<TypeName> KnownTypes() {
  std::vector<TypeName> types;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO info{};
    info.format = i;
    sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &info, sizeof info);
    types.push_back({info.extension, info.format});
  }
  // Names people use beside libsndfile's own extensions.
  types.push_back({"ogg", SF_FORMAT_OGG});
  types.push_back({"aif", SF_FORMAT_AIFF});
  return types;
}
}  // namespace

std::optional<int> FileTypeByName(const std::string& name) {
  std::string lower = name;
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  for (const TypeName& t : KnownTypes())
    if (t.name == lower) return t.major;
  return std::nullopt;
}

std::string FileTypeNames() {
  std::string names;
  for (const TypeName& t : KnownTypes()) {
    if (names.find(t.name) != std::string::npos) continue;
    names += (names.empty() ? "" : ", ") + t.name;
  }
  return names;
}

std::string OutputType::Describe() const {
  SF_FORMAT_INFO major_info{}, sub_info{};
  major_info.format = major;
  sub_info.format = subtype;
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &major_info, sizeof major_info);
  sf_command(nullptr, SFC_GET_FORMAT_INFO, &sub_info, sizeof sub_info);
  return std::string(major_info.name ? major_info.name : "?") + ", " + (sub_info.name ? sub_info.name : "?");
}

std::optional<OutputType> ChooseOutputType(int major, SampleFormat format, int channels, int rate,
                                           std::string& error) {
  const auto fits = [&](int subtype) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = major | subtype;
    return sf_format_check(&info) != 0;
  };
  std::vector<int> wanted;
  switch (format) {
    case SampleFormat::kDefault:
      wanted = {SF_FORMAT_FLOAT, SF_FORMAT_PCM_24, SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_OPUS};
      break;
    case SampleFormat::kF32: wanted = {SF_FORMAT_FLOAT}; break;
    case SampleFormat::kF64: wanted = {SF_FORMAT_DOUBLE}; break;
    case SampleFormat::kPcm16: wanted = {SF_FORMAT_PCM_16}; break;
    case SampleFormat::kPcm24: wanted = {SF_FORMAT_PCM_24}; break;
  }
  for (int subtype : wanted)
    if (fits(subtype)) return OutputType{major, subtype};
  OutputType type{major, wanted.front()};
  const std::string description = type.Describe();
  error = format == SampleFormat::kDefault
              ? "libsndfile cannot write " + description.substr(0, description.find(',')) + " files here"
              : description.substr(0, description.find(',')) + " files cannot hold " +
                    description.substr(description.find(',') + 2) + " samples; choose another --format";
  return std::nullopt;
}

std::unique_ptr<AudioOutput> AudioOutput::Open(OutputFile* file, const OutputType& type, int channels, int rate,
                                               Dither dither, std::string& error) {
  const Encoding encoding = EncodingOf(type.subtype);
  if (file == nullptr) {
    auto out = std::make_unique<WavStreamOutput>(STDOUT_FILENO, encoding, channels, rate, dither);
    if (!out->error().empty()) {
      error = out->error();
      return nullptr;
    }
    return out;
  }
  SF_INFO info{};
  info.samplerate = rate;
  info.channels = channels;
  info.format = type.major | type.subtype;
  errno = 0;
  SNDFILE* sound = sf_open_virtual(&kOutputIo, SFM_WRITE, &info, file);
  if (sound == nullptr) {
    error = !file->error().empty() ? file->error() : SndfileErrorText(sf_strerror(nullptr), errno);
    return nullptr;
  }
  // Values are converted here, rounded and counted; libsndfile only stores.
  sf_command(sound, SFC_SET_CLIPPING, nullptr, SF_FALSE);
  sf_command(sound, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
  return std::make_unique<SndfileOutput>(sound, file, encoding, channels, rate, dither);
}

// ------------------------------------------------------------------ measuring

void LevelMeter::Add(const float* samples, std::int64_t frames) {
  for (int c = 0; c < channels_; ++c) {
    float peak = 0.0f;
    double sum = 0.0;
    for (std::int64_t f = 0; f < frames; ++f) {
      const float v = samples[f * channels_ + c];
      peak = std::max(peak, std::fabs(v));
      sum += static_cast<double>(v) * v;
    }
    peak_[c] = std::max<double>(peak_[c], peak);
    sum_squares_[c] += sum;
  }
  frames_ += frames;
}

static double ToDb(double level) { return level > 0.0 ? 20.0 * std::log10(level) : -INFINITY; }

double LevelMeter::PeakDb(int channel) const { return ToDb(peak_[channel]); }

double LevelMeter::RmsDb(int channel) const {
  return frames_ > 0 ? ToDb(std::sqrt(sum_squares_[channel] / static_cast<double>(frames_))) : -INFINITY;
}

struct LoudnessMeter::State {
  ebur128_state* meter = nullptr;
  int channels;
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<std::vector<float>> queue;  // at most kDepth blocks
  bool done = false;
  std::thread worker;
  static constexpr std::size_t kDepth = 8;

  void Run() {
    for (;;) {
      std::vector<float> block;
      {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !queue.empty() || done; });
        if (queue.empty()) return;
        block = std::move(queue.front());
        queue.pop_front();
      }
      changed.notify_all();
      ebur128_add_frames_float(meter, block.data(), block.size() / channels);
    }
  }
};

LoudnessMeter::LoudnessMeter(int channels, int rate) : state_(std::make_unique<State>()) {
  state_->channels = channels;
  state_->meter = ebur128_init(static_cast<unsigned>(channels), static_cast<unsigned long>(rate),
                               EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  if (state_->meter != nullptr) state_->worker = std::thread([s = state_.get()] { s->Run(); });
}

LoudnessMeter::~LoudnessMeter() {
  double lufs, peak;
  Finish(lufs, peak);
  if (state_->meter != nullptr) ebur128_destroy(&state_->meter);
}

void LoudnessMeter::Add(const float* samples, std::int64_t frames) {
  if (state_->meter == nullptr || frames <= 0) return;
  std::vector<float> block(samples, samples + frames * state_->channels);
  std::unique_lock lock(state_->mutex);
  state_->changed.wait(lock, [&] { return state_->queue.size() < State::kDepth; });
  state_->queue.push_back(std::move(block));
  lock.unlock();
  state_->changed.notify_all();
}

bool LoudnessMeter::Finish(double& lufs, double& true_peak_db) {
  if (state_->meter == nullptr) return false;
  if (state_->worker.joinable()) {
    {
      std::lock_guard lock(state_->mutex);
      state_->done = true;
    }
    state_->changed.notify_all();
    state_->worker.join();
  }
  if (ebur128_loudness_global(state_->meter, &lufs) != EBUR128_SUCCESS) return false;
  double peak = 0.0;
  for (int c = 0; c < state_->channels; ++c) {
    double p = 0.0;
    if (ebur128_true_peak(state_->meter, static_cast<unsigned>(c), &p) == EBUR128_SUCCESS) peak = std::max(peak, p);
  }
  true_peak_db = ToDb(peak);
  return true;
}

}  // namespace korvel::cli
