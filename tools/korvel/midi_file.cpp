#include "tools/korvel/midi_file.h"

#include <algorithm>
#include <cstdio>

namespace korvel::cli {
namespace {

constexpr double kDefaultTempo = 500000.0;  // microseconds per quarter note: 120 BPM
constexpr double kDefaultBeatsPerBar = 4.0;  // 4/4

struct BadFile {
  std::size_t byte;
  std::string reason;
};

[[noreturn]] void Fail(std::size_t byte, std::string reason) { throw BadFile{byte, std::move(reason)}; }

std::string Hex(unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", value);
  return text;
}

// Reads within [pos, end) of the file; every read is checked.
class Reader {
 public:
  Reader(const std::uint8_t* data, std::size_t pos, std::size_t end) : data_(data), pos_(pos), end_(end) {}
  std::size_t pos() const { return pos_; }
  bool done() const { return pos_ >= end_; }
  void Need(std::size_t n, const char* what) const {
    if (end_ - pos_ < n) Fail(pos_, std::string("the data ends inside ") + what);
  }
  std::uint8_t Byte(const char* what) {
    Need(1, what);
    return data_[pos_++];
  }
  std::uint32_t BigEndian(int bytes, const char* what) {
    Need(static_cast<std::size_t>(bytes), what);
    std::uint32_t value = 0;
    for (int i = 0; i < bytes; ++i) value = (value << 8) | data_[pos_++];
    return value;
  }
  // A variable-length quantity: at most four bytes, seven bits each.
  std::uint32_t Vlq(const char* what) {
    const std::size_t start = pos_;
    std::uint32_t value = 0;
    for (int i = 0; i < 4; ++i) {
      const std::uint8_t b = Byte(what);
      value = (value << 7) | (b & 0x7F);
      if ((b & 0x80) == 0) return value;
    }
    Fail(start, std::string(what) + " is longer than four bytes");
  }
  void Skip(std::size_t n, const char* what) {
    Need(n, what);
    pos_ += n;
  }
  std::string Tag() {
    Need(4, "a chunk header");
    std::string tag(reinterpret_cast<const char*>(data_ + pos_), 4);
    pos_ += 4;
    return tag;
  }

 private:
  const std::uint8_t* data_;
  std::size_t pos_, end_;
};

struct RawNote {
  std::uint64_t tick;
  std::uint8_t status, note, velocity;
};

struct Tempo {
  std::uint64_t tick;
  double microseconds_per_quarter;
};

struct Meter {
  std::uint64_t tick;
  double beats_per_bar;  // in quarter notes
};

void ReadTrack(const std::uint8_t* data, std::size_t start, std::size_t end, std::vector<RawNote>& notes,
               std::vector<Tempo>& tempos, std::vector<Meter>& meters) {
  Reader r(data, start, end);
  std::uint64_t tick = 0;
  std::uint8_t running = 0;
  while (!r.done()) {
    tick += r.Vlq("a delta time");
    const std::size_t at = r.pos();
    const std::uint8_t first = r.Byte("an event");
    if (first == 0xFF) {
      const std::uint8_t type = r.Byte("a meta event");
      const std::uint32_t length = r.Vlq("a meta event's length");
      r.Need(length, "a meta event");
      if (type == 0x51) {
        if (length != 3) Fail(at, "a tempo event of " + std::to_string(length) + " bytes (3 expected)");
        const std::uint32_t us = r.BigEndian(3, "a tempo event");
        if (us == 0) Fail(at, "a tempo of 0 microseconds per quarter note");
        tempos.push_back({tick, static_cast<double>(us)});
      } else if (type == 0x58) {
        if (length != 4) Fail(at, "a time signature of " + std::to_string(length) + " bytes (4 expected)");
        const std::uint32_t numerator = r.Byte("a time signature");
        const std::uint32_t exponent = r.Byte("a time signature");
        r.Skip(2, "a time signature");
        if (numerator == 0 || exponent > 8) Fail(at, "a time signature of " + std::to_string(numerator) + "/2^" +
                                                         std::to_string(exponent));
        meters.push_back({tick, numerator * 4.0 / static_cast<double>(1u << exponent)});
      } else {
        r.Skip(length, "a meta event");
        if (type == 0x2F) return;  // end of track: the rest of the chunk is not events
      }
      running = 0;
      continue;
    }
    if (first == 0xF0 || first == 0xF7) {
      r.Skip(r.Vlq("a sysex event's length"), "a sysex event");
      running = 0;
      continue;
    }
    std::uint8_t status = running;
    std::uint8_t data1 = 0;
    if (first & 0x80) {
      if (first >= 0xF0) Fail(at, "status " + Hex(first) + " cannot stand in a track");
      status = first;
      running = first;
      data1 = r.Byte("a channel event");
    } else {
      if (running == 0) Fail(at, "data byte " + Hex(first) + " with no status before it");
      data1 = first;
    }
    const std::uint8_t kind = status & 0xF0;
    const bool two = kind != 0xC0 && kind != 0xD0;
    std::uint8_t data2 = 0;
    if (two) data2 = r.Byte("a channel event");
    if (data1 & 0x80 || data2 & 0x80)
      Fail(at, "a channel event with data byte " + Hex(data1 & 0x80 ? data1 : data2) + " above 0x7F");
    if (kind == 0x90 && data2 > 0) notes.push_back({tick, 0x90, data1, data2});
    if (kind == 0x80 || (kind == 0x90 && data2 == 0)) notes.push_back({tick, 0x80, data1, data2});
    if (kind == 0xB0) notes.push_back({tick, 0xB0, data1, data2});
  }
}

}  // namespace

bool ReadMidiFile(const std::uint8_t* data, std::size_t size, std::vector<MidiNote>& out, std::string& error,
                  MidiTempoMap* tempo_map) {
  try {
    Reader r(data, 0, size);
    if (size < 4 || r.Tag() != "MThd") Fail(0, "not a Standard MIDI File (no \"MThd\" header)");
    const std::uint32_t header_length = r.BigEndian(4, "the header");
    if (header_length < 6) Fail(4, "a header of " + std::to_string(header_length) + " bytes (6 expected)");
    const std::uint32_t format = r.BigEndian(2, "the header");
    const std::uint32_t track_count = r.BigEndian(2, "the header");
    const std::uint32_t division = r.BigEndian(2, "the header");
    if (format > 1)
      Fail(8, "MIDI file type " + std::to_string(format) + " (only types 0 and 1 can be played)");
    if (division == 0) Fail(12, "a time division of 0");
    double seconds_per_tick = 0.0;  // SMPTE time; 0 for ticks per quarter note
    if (division & 0x8000) {
      const int frames = -static_cast<int>(static_cast<std::int8_t>(division >> 8));
      const int ticks = static_cast<int>(division & 0xFF);
      if (frames <= 0 || ticks == 0) Fail(12, "a SMPTE time division with no frames or ticks");
      seconds_per_tick = 1.0 / ((frames == 29 ? 29.97 : frames) * ticks);
    }
    r.Skip(header_length - 6, "the header");

    std::vector<RawNote> notes;
    std::vector<Tempo> tempos;
    std::vector<Meter> meters;
    std::uint32_t tracks = 0;
    while (tracks < track_count) {
      const std::size_t chunk = r.pos();
      if (r.done()) Fail(chunk, "the header announces " + std::to_string(track_count) + " tracks, the file holds " +
                                    std::to_string(tracks));
      const std::string tag = r.Tag();
      const std::uint32_t length = r.BigEndian(4, "a chunk header");
      r.Need(length, tag == "MTrk" ? "a track" : "a chunk");
      if (tag == "MTrk") {
        std::vector<RawNote> track_notes;
        ReadTrack(data, r.pos(), r.pos() + length, track_notes, tempos, meters);
        notes.insert(notes.end(), track_notes.begin(), track_notes.end());
        ++tracks;
      }
      r.Skip(length, "a chunk");  // chunks of other kinds are skipped
    }

    // Stable: events at one tick keep the file's order, track by track.
    std::stable_sort(notes.begin(), notes.end(), [](const RawNote& a, const RawNote& b) { return a.tick < b.tick; });
    std::stable_sort(tempos.begin(), tempos.end(), [](const Tempo& a, const Tempo& b) { return a.tick < b.tick; });
    std::stable_sort(meters.begin(), meters.end(), [](const Meter& a, const Meter& b) { return a.tick < b.tick; });
    out.clear();
    out.reserve(notes.size());
    // Walk the tempo map alongside the notes: seconds at the last tempo change.
    std::size_t next_tempo = 0;
    std::uint64_t tempo_tick = 0;
    double tempo_seconds = 0.0, tempo = kDefaultTempo;
    const double ticks_per_quarter = static_cast<double>(division);
    const auto seconds_at = [&](std::uint64_t tick) {
      if (seconds_per_tick > 0.0) return static_cast<double>(tick) * seconds_per_tick;
      while (next_tempo < tempos.size() && tempos[next_tempo].tick <= tick) {
        tempo_seconds += static_cast<double>(tempos[next_tempo].tick - tempo_tick) * tempo / ticks_per_quarter * 1e-6;
        tempo_tick = tempos[next_tempo].tick;
        tempo = tempos[next_tempo].microseconds_per_quarter;
        ++next_tempo;
      }
      return tempo_seconds + static_cast<double>(tick - tempo_tick) * tempo / ticks_per_quarter * 1e-6;
    };
    for (const RawNote& n : notes) out.push_back({seconds_at(n.tick), n.status, n.note, n.velocity});
    if (tempo_map != nullptr) {
      // A point wherever the tempo or the metre changes; seconds_at only
      // moves forward, so its walk restarts.
      next_tempo = 0;
      tempo_tick = 0;
      tempo_seconds = 0.0;
      tempo = kDefaultTempo;
      tempo_map->ticks_per_beat = seconds_per_tick > 0.0 ? 0.0 : ticks_per_quarter;
      auto& points = tempo_map->points;
      points.assign(1, {0.0, 60e6 / kDefaultTempo, kDefaultBeatsPerBar});
      std::size_t t = 0, m = 0;
      while (t < tempos.size() || m < meters.size()) {
        const bool tempo_first = m >= meters.size() || (t < tempos.size() && tempos[t].tick <= meters[m].tick);
        const std::uint64_t tick = tempo_first ? tempos[t].tick : meters[m].tick;
        MidiTempo point = points.back();
        point.seconds = seconds_at(tick);
        if (tempo_first) {
          point.beats_per_minute = 60e6 / tempos[t++].microseconds_per_quarter;
        } else {
          point.beats_per_bar = meters[m++].beats_per_bar;
        }
        if (point.seconds == points.back().seconds) points.back() = point;  // changes at one time make one point
        else points.push_back(point);
      }
    }
  } catch (const BadFile& bad) {
    error = "byte " + std::to_string(bad.byte) + ": " + bad.reason;
    return false;
  }
  return true;
}

}  // namespace korvel::cli
