// The command-line host's MIDI file reader: timing through the tempo map,
// the shapes of real files, and a bad file named by its byte.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tools/korvel/midi_file.h"

namespace korvel::cli {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Chunk(const char* tag, const Bytes& body) {
  const auto n = static_cast<std::uint32_t>(body.size());
  Bytes out = {std::uint8_t(tag[0]), std::uint8_t(tag[1]), std::uint8_t(tag[2]), std::uint8_t(tag[3]),
               std::uint8_t(n >> 24), std::uint8_t(n >> 16), std::uint8_t(n >> 8), std::uint8_t(n)};
  for (std::uint8_t b : body) out.push_back(b);
  return out;
}

Bytes File(int format, std::uint16_t division, const std::vector<Bytes>& tracks) {
  Bytes out = Chunk("MThd", {0, std::uint8_t(format), 0, std::uint8_t(tracks.size()), std::uint8_t(division >> 8),
                             std::uint8_t(division & 0xFF)});
  for (const Bytes& t : tracks)
    for (std::uint8_t b : Chunk("MTrk", t)) out.push_back(b);
  return out;
}

struct Read {
  bool ok;
  std::vector<MidiNote> notes;
  std::string error;
  MidiTempoMap tempo;
};
Read ReadBytes(const Bytes& bytes) {
  Read r;
  r.ok = ReadMidiFile(bytes.data(), bytes.size(), r.notes, r.error, &r.tempo);
  return r;
}

const Bytes kEnd = {0x00, 0xFF, 0x2F, 0x00};

TEST(MidiFile, TempoMapRunningStatusChannelsAndOrder) {
  // 96 ticks a quarter. Track 0: 120 BPM, 60 BPM from tick 96. Track 1: a
  // note on at 48 (0.25 s), a controller, a running-status note on at 96
  // (0.5 s, channel 3), note offs at 144 (1.0 s) by velocity 0 and by 0x80.
  // Other channel messages (program change, pitch bend) are dropped.
  const Bytes tempo = {0x00, 0xFF, 0x51, 0x03, 0x07, 0xA1, 0x20, 0x60, 0xFF, 0x51, 0x03, 0x0F, 0x42, 0x40,
                       0x00, 0xFF, 0x2F, 0x00};
  const Bytes notes = {0x30, 0x90, 60, 100, 0x00, 0xB0, 7, 90, 0x00, 0xC0, 5, 0x00, 0xE0, 0, 64,
                       0x30, 0x92, 64, 80, 0x30, 0x90, 60, 0, 0x00, 0x82, 64, 10, 0x00, 0xF0, 0x02, 0x01, 0xF7,
                       0x00, 0xFF, 0x2F, 0x00, 0x99};
  const Read r = ReadBytes(File(1, 96, {tempo, notes}));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.notes.size(), 5u);
  EXPECT_EQ(r.notes[0].seconds, 0.25);
  EXPECT_EQ(r.notes[0].status, 0x90);
  EXPECT_EQ(r.notes[1].seconds, 0.25);
  EXPECT_EQ(r.notes[1].status, 0xB0) << "a Control Change: controller 7, value 90";
  EXPECT_EQ(r.notes[1].note, 7);
  EXPECT_EQ(r.notes[1].velocity, 90);
  EXPECT_EQ(r.notes[2].seconds, 0.5);
  EXPECT_EQ(r.notes[2].note, 64);
  EXPECT_DOUBLE_EQ(r.notes[3].seconds, 1.0);
  EXPECT_EQ(r.notes[3].status, 0x80) << "a note on of velocity 0 is a note off";
  EXPECT_EQ(r.notes[4].status, 0x80);

  // Type 0, SMPTE 25 frames of 40 ticks: a tick is a millisecond.
  const Read smpte = ReadBytes(File(0, 0xE728, {{0x81, 0x74, 0x90, 69, 1, 0x00, 0xFF, 0x2F, 0x00}}));
  ASSERT_TRUE(smpte.ok) << smpte.error;
  EXPECT_DOUBLE_EQ(smpte.notes[0].seconds, 0.244);
}

// The tempo map as the module is given it: quarter notes per minute and per
// bar, one point per time where either changes, the file's division.
TEST(MidiFile, TempoMapPoints) {
  // 480 ticks a quarter. 6/8 and 100 BPM at tick 0; 3/4 at 480 (0.6 s);
  // 150 BPM at 960 (1.2 s).
  const Bytes track = {0x00, 0xFF, 0x58, 0x04, 6, 3, 24, 8, 0x00, 0xFF, 0x51, 0x03, 0x09, 0x27, 0xC0,
                       0x83, 0x60, 0xFF, 0x58, 0x04, 3, 2, 24, 8, 0x83, 0x60, 0xFF, 0x51, 0x03, 0x06, 0x1A, 0x80,
                       0x00, 0xFF, 0x2F, 0x00};
  const Read r = ReadBytes(File(0, 480, {track}));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.tempo.ticks_per_beat, 480.0);
  ASSERT_EQ(r.tempo.points.size(), 3u);
  EXPECT_EQ(r.tempo.points[0].seconds, 0.0);
  EXPECT_DOUBLE_EQ(r.tempo.points[0].beats_per_minute, 100.0);
  EXPECT_EQ(r.tempo.points[0].beats_per_bar, 3.0) << "6/8 is three quarter notes";
  EXPECT_DOUBLE_EQ(r.tempo.points[1].seconds, 0.6);
  EXPECT_EQ(r.tempo.points[1].beats_per_bar, 3.0);
  EXPECT_DOUBLE_EQ(r.tempo.points[2].seconds, 1.2);
  EXPECT_DOUBLE_EQ(r.tempo.points[2].beats_per_minute, 150.0);

  // No tempo events: 120 BPM in 4/4 throughout; SMPTE time has no division.
  const Read plain = ReadBytes(File(0, 0xE728, {kEnd}));
  ASSERT_EQ(plain.tempo.points.size(), 1u);
  EXPECT_EQ(plain.tempo.points[0].beats_per_minute, 120.0);
  EXPECT_EQ(plain.tempo.points[0].beats_per_bar, 4.0);
  EXPECT_EQ(plain.tempo.ticks_per_beat, 0.0);
}

TEST(MidiFile, BadFilesAreNamedByTheirByte) {
  const struct {
    Bytes bytes;
    const char* error;
  } cases[] = {
      {{'R', 'I', 'F', 'F'}, "byte 0: not a Standard MIDI File"},
      {File(2, 96, {kEnd}), "byte 8: MIDI file type 2"},
      {File(1, 96, {{0x00, 0x40, 0x40}}), "byte 23: data byte 0x40 with no status"},
      {File(1, 96, {{0x00, 0x90, 60, 0x80}}), "byte 23: a channel event with data byte 0x80"},
      {File(1, 96, {{0xFF, 0xFF, 0xFF, 0xFF, 0x7F}}), "byte 22: a delta time is longer than four bytes"},
      {File(1, 96, {{0x00, 0xFF, 0x51, 0x03, 0, 0, 0}}), "byte 23: a tempo of 0"},
      {File(1, 96, {{0x00, 0xFF, 0x58, 0x02, 4, 2}}), "byte 23: a time signature of 2 bytes"},
      {File(1, 96, {{0x00, 0xFF, 0x58, 0x04, 0, 2, 24, 8}}), "byte 23: a time signature of 0/2^2"},
  };
  for (const auto& c : cases) {
    const Read r = ReadBytes(c.bytes);
    EXPECT_FALSE(r.ok);
    EXPECT_EQ(r.error.rfind(c.error, 0), 0u) << r.error;
  }
  Bytes missing = File(1, 96, {kEnd});
  missing[11] = 3;  // three tracks announced
  EXPECT_EQ(ReadBytes(missing).error, "byte 26: the header announces 3 tracks, the file holds 1");
}

}  // namespace
}  // namespace korvel::cli
