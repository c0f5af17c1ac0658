#include "engine/sound_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#ifdef KORVEL_HAVE_SNDFILE
#include <sndfile.h>
#endif
#ifndef _WIN32
#include <unistd.h>
#endif

#include "engine/file_io.h"

namespace korvel {
namespace {

constexpr double kMinSoundRate = 1000.0;
constexpr double kMaxSoundRate = 768000.0;
// Bytes read at a time while decoding.
constexpr std::size_t kReadPiece = 65536;
// A data size this large is a stream's placeholder ("until the end").
constexpr std::uint32_t kStreamedSize = 0x7FFFFFF0u;

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::string SystemReason(int code) { return code != 0 ? std::strerror(code) : "unknown error"; }

std::string TooLong(long long frames) {
  return "too long: " + std::to_string(frames) + " frames, at most " + std::to_string(kMaxSoundFrames);
}

std::string Channels(int channels) {
  return std::to_string(channels) + " channels; only mono and stereo files are played";
}

bool CheckShape(double rate, long long frames, int channels, std::string& reason) {
  if (channels != 1 && channels != 2) {
    reason = Channels(channels);
    return false;
  }
  if (!(rate >= kMinSoundRate && rate <= kMaxSoundRate)) {
    char shown[64];
    std::snprintf(shown, sizeof shown, "%.0f", rate);
    reason = std::string("its sample rate ") + shown + " Hz is outside 1000 to 768000 Hz";
    return false;
  }
  if (frames <= 0) {
    reason = "it holds no audio";
    return false;
  }
  if (frames > kMaxSoundFrames) {
    reason = TooLong(frames);
    return false;
  }
  return true;
}

bool Allocate(Sound& sound, long long frames, int channels, std::string& reason) {
  try {
    sound.samples.assign(static_cast<std::size_t>(frames) * static_cast<std::size_t>(channels), 0.0f);
  } catch (const std::bad_alloc&) {
    reason = "not enough memory for " + std::to_string(frames) + " frames";
    return false;
  } catch (const std::length_error&) {
    reason = "not enough memory for " + std::to_string(frames) + " frames";
    return false;
  }
  return true;
}

// ------------------------------------------------------------------ WAV

std::uint16_t U16(const unsigned char* p) { return static_cast<std::uint16_t>(p[0] | p[1] << 8); }
std::uint32_t U32(const unsigned char* p) {
  return static_cast<std::uint32_t>(p[0]) | static_cast<std::uint32_t>(p[1]) << 8 |
         static_cast<std::uint32_t>(p[2]) << 16 | static_cast<std::uint32_t>(p[3]) << 24;
}

enum class Encoding { kPcm, kFloat, kOther };

// What the header of a WAV file says, checked against the file's size.
struct WavLayout {
  Encoding encoding = Encoding::kOther;
  std::uint16_t tag = 0;
  int channels = 0;
  double rate = 0.0;
  int bits = 0;
  int block = 0;  // bytes per frame
  long long data_offset = 0;
  long long frames = 0;
};

bool ReadExactly(std::FILE* file, void* to, std::size_t size) { return std::fread(to, 1, size, file) == size; }

// Walks the chunks up to "data". `size` is the file's length.
bool ReadWavHeader(std::FILE* file, long long size, WavLayout& wav, std::string& reason) {
  unsigned char head[12];
  if (!ReadExactly(file, head, sizeof head) || std::memcmp(head, "RIFF", 4) != 0 ||
      std::memcmp(head + 8, "WAVE", 4) != 0) {
    reason = "not a sound file (no WAV header)";
    return false;
  }
  bool have_format = false;
  long long at = 12;
  for (;;) {
    unsigned char chunk[8];
    if (!ReadExactly(file, chunk, sizeof chunk)) {
      reason = have_format ? "the file is cut short: it ends before its audio" : "the file is cut short: it ends before its format";
      return false;
    }
    at += 8;
    const std::uint32_t length = U32(chunk + 4);
    if (std::memcmp(chunk, "fmt ", 4) == 0) {
      unsigned char format[40] = {};
      if (length < 16 || !ReadExactly(file, format, std::min<std::size_t>(length, sizeof format))) {
        reason = "not a sound file (its WAV format is damaged)";
        return false;
      }
      wav.tag = U16(format);
      wav.channels = U16(format + 2);
      wav.rate = U32(format + 4);
      wav.block = U16(format + 12);
      wav.bits = U16(format + 14);
      std::uint16_t tag = wav.tag;
      if (tag == 0xFFFE && length >= 40) tag = U16(format + 24);  // the subformat's first two bytes
      wav.encoding = tag == 1 ? Encoding::kPcm : tag == 3 ? Encoding::kFloat : Encoding::kOther;
      have_format = true;
      if (length > sizeof format && std::fseek(file, static_cast<long>(length - sizeof format), SEEK_CUR) != 0) {
        reason = "the file is cut short: it ends inside its format";
        return false;
      }
    } else if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) {
        reason = "not a sound file (its WAV audio comes before its format)";
        return false;
      }
      wav.data_offset = at;
      const long long present = size - at;
      long long bytes = length;
      if (length >= kStreamedSize) {
        bytes = present;  // written as a stream: the audio runs to the end
      } else if (bytes > present) {
        const long long block = std::max(wav.block, 1);
        reason = "the file is cut short: its header announces " + std::to_string(bytes / block) +
                 " frames, it holds " + std::to_string(present / block);
        return false;
      }
      wav.frames = wav.block > 0 ? bytes / wav.block : 0;
      return true;
    }
    if (std::memcmp(chunk, "fmt ", 4) != 0) {
      // Chunks are padded to an even length.
      const long long skip = static_cast<long long>(length) + (length & 1);
      if (at + skip > size) {
        reason = "the file is cut short: it ends inside its " + std::string(reinterpret_cast<char*>(chunk), 4) + " chunk";
        return false;
      }
      if (std::fseek(file, static_cast<long>(skip), SEEK_CUR) != 0) {
        reason = SystemReason(errno);
        return false;
      }
      at += skip;
    } else {
      at += static_cast<long long>(length) + (length & 1);
      if (length & 1) std::fseek(file, 1, SEEK_CUR);
    }
  }
}

bool Decodes(const WavLayout& wav) {
  const int bytes = wav.bits / 8;
  if (wav.bits % 8 != 0 || wav.block != wav.channels * bytes) return false;
  if (wav.encoding == Encoding::kPcm) return bytes >= 1 && bytes <= 4;
  if (wav.encoding == Encoding::kFloat) return bytes == 4 || bytes == 8;
  return false;
}

float DecodeValue(const unsigned char* p, const WavLayout& wav) {
  if (wav.encoding == Encoding::kFloat) {
    if (wav.bits == 32) {
      float value;
      std::uint32_t bits = U32(p);
      std::memcpy(&value, &bits, sizeof value);
      return value;
    }
    const std::uint64_t bits = U32(p) | static_cast<std::uint64_t>(U32(p + 4)) << 32;
    double value;
    std::memcpy(&value, &bits, sizeof value);
    return static_cast<float>(value);
  }
  // Integers to full scale 1.0 by a power of two: exact up to 24 bits.
  switch (wav.bits) {
    case 8:
      return static_cast<float>(static_cast<int>(p[0]) - 128) * (1.0f / 128.0f);
    case 16:
      return static_cast<float>(static_cast<std::int16_t>(U16(p))) * (1.0f / 32768.0f);
    case 24: {
      const std::int32_t v = static_cast<std::int32_t>(static_cast<std::uint32_t>(p[0]) << 8 |
                                                       static_cast<std::uint32_t>(p[1]) << 16 |
                                                       static_cast<std::uint32_t>(p[2]) << 24) >> 8;
      return static_cast<float>(v) * (1.0f / 8388608.0f);
    }
    default:
      return static_cast<float>(static_cast<double>(static_cast<std::int32_t>(U32(p))) * (1.0 / 2147483648.0));
  }
}

bool DecodeWav(std::FILE* file, const WavLayout& wav, Sound& sound, std::string& reason) {
  if (!Allocate(sound, wav.frames, wav.channels, reason)) return false;
  if (std::fseek(file, static_cast<long>(wav.data_offset), SEEK_SET) != 0) {
    reason = SystemReason(errno);
    return false;
  }
  const std::size_t bytes_per_value = static_cast<std::size_t>(wav.bits / 8);
  const std::size_t values = sound.samples.size();
  const std::size_t per_piece = kReadPiece / bytes_per_value;
  std::vector<unsigned char> piece(per_piece * bytes_per_value);
  for (std::size_t done = 0; done < values;) {
    const std::size_t n = std::min(per_piece, values - done);
    if (!ReadExactly(file, piece.data(), n * bytes_per_value)) {
      reason = std::ferror(file) ? SystemReason(errno) : "the file is cut short: it ended while being read";
      return false;
    }
    for (std::size_t i = 0; i < n; ++i) sound.samples[done + i] = DecodeValue(piece.data() + i * bytes_per_value, wav);
    done += n;
  }
  sound.rate = wav.rate;
  sound.frames = static_cast<std::int32_t>(wav.frames);
  sound.channels = wav.channels;
  return true;
}

// ------------------------------------------------------------------ libsndfile

#ifdef KORVEL_HAVE_SNDFILE
bool ReadWithLibsndfile(int fd, Sound& sound, std::string& reason) {
  SF_INFO info{};
  SNDFILE* file = sf_open_fd(fd, SFM_READ, &info, SF_FALSE);
  if (file == nullptr) {
    std::string detail = sf_strerror(nullptr);
    while (!detail.empty() && (detail.back() == '.' || detail.back() == ' ')) detail.pop_back();
    reason = "not a sound file (" + detail + ")";
    return false;
  }
  const std::unique_ptr<SNDFILE, int (*)(SNDFILE*)> closer(file, sf_close);
  if (!CheckShape(info.samplerate, static_cast<long long>(info.frames), info.channels, reason)) return false;
  if (!Allocate(sound, info.frames, info.channels, reason)) return false;
  const sf_count_t got = sf_readf_float(file, sound.samples.data(), info.frames);
  if (got != info.frames) {
    reason = sf_error(file) != SF_ERR_NO_ERROR ? sf_strerror(file)
                                               : "the file is cut short: it ended while being read";
    return false;
  }
  sound.rate = info.samplerate;
  sound.frames = static_cast<std::int32_t>(info.frames);
  sound.channels = info.channels;
  return true;
}
#endif

}  // namespace

bool ReadsEveryLibsndfileFormat() {
#ifdef KORVEL_HAVE_SNDFILE
  return true;
#else
  return false;
#endif
}

bool ReadSoundFile(const std::string& path, Sound& sound, std::string& reason) {
  if (path.empty()) {
    reason = "no file named";
    return false;
  }
  // The one input reader opens it: a regular file only (never a folder or
  // a device), opened without waiting on a FIFO.
  const auto input = InputFile::Open(path, false, reason);
  if (!input) return false;
  const long long size = input->size_hint();
#ifdef _WIN32
  // The reader's handle is no C stream: the file it checked is opened
  // again as one.
  errno = 0;
  File file(std::fopen(path.c_str(), "rb"));
  if (!file) {
    reason = SystemReason(errno);
    return false;
  }
#else
  // A stream on a copy of the reader's descriptor: what was checked is
  // what is read.
  const int fd = dup(input->fd());
  File file(fd >= 0 ? fdopen(fd, "rb") : nullptr);
  if (!file) {
    reason = SystemReason(errno);
    if (fd >= 0) close(fd);
    return false;
  }
#endif
  unsigned char magic[4] = {};
  const bool riff = ReadExactly(file.get(), magic, sizeof magic) && std::memcmp(magic, "RIFF", 4) == 0;
  std::rewind(file.get());
  if (riff) {
    WavLayout wav;
    if (!ReadWavHeader(file.get(), size, wav, reason)) return false;
    if (!CheckShape(wav.rate, wav.frames, wav.channels, reason)) return false;
    if (Decodes(wav)) return DecodeWav(file.get(), wav, sound, reason);
#ifndef KORVEL_HAVE_SNDFILE
    char tag[16];
    std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(wav.tag));
    reason = std::string("its WAV encoding (format ") + tag + ", " + std::to_string(wav.bits) +
             " bits) is not one this build reads (PCM or float)";
    return false;
#endif
  }
#ifdef KORVEL_HAVE_SNDFILE
  // libsndfile reads from the descriptor; the stream has not buffered past
  // the start, and libsndfile seeks where it needs.
  std::rewind(file.get());
  return ReadWithLibsndfile(fileno(file.get()), sound, reason);
#else
  reason = "not a sound file (this build reads WAV files only)";
  return false;
#endif
}

}  // namespace korvel
