// Notes from the host's "notes" port, turned into what the Note components
// read for each block: the held note's frequency and the gate at the block's
// first frame, and every frame where either changes.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel {

// Events the host may hand over for one block; more are dropped (see
// NoteTracker::Push).
inline constexpr int kMaxBlockNoteEvents = 512;
inline constexpr int kNoteCount = 128;

struct NoteChange {
  std::uint32_t frame;  // within the block
  double frequency;     // Hz of the most recent held note; kept after release
  double gate;          // 1.0 while any note is held
};

struct NoteBlock {
  double frequency;  // at frame 0; 0.0 before any note
  double gate;
  std::int32_t change_count;
  NoteChange changes[kMaxBlockNoteEvents];
};

// 12-tone equal temperament, note 69 = 440 Hz.
double NoteFrequency(int note);

// The note events of the next block and the held notes between blocks.
// Push runs in the host's notes callback, Render in its audio callback; a
// host calls the two in turn for each block, never at once. The handover
// count is atomic, so the two calls may come from different threads.
class NoteTracker {
 public:
  enum Status : std::uint8_t { kOff = 0x80, kOn = 0x90 };

  // [notes callback] Queues one event at `frame` of the next audio call. A
  // note on of velocity 0 is a note off; other statuses are ignored. When the
  // queue is full the event is dropped and, at the end of the next block,
  // every note is released, so a lost note off never leaves a note hanging.
  void Push(std::uint32_t frame, std::uint8_t status, std::uint8_t note, std::uint8_t velocity);

  // [audio thread] Fills `block` for frames first .. first + n - 1 of the
  // current audio call (a call longer than one engine block is rendered in
  // pieces) and applies those events. Events past the end of the call land
  // on its last frame. `last_piece` ends the call: its events are consumed.
  void Render(std::uint32_t first, std::uint32_t n, bool last_piece, NoteBlock& block);

  // [audio thread] Releases every note and forgets the last one.
  void Reset();

 private:
  struct Event {
    std::uint32_t frame;
    std::uint8_t on;
    std::uint8_t note;
  };
  void Apply(const Event& event);
  double Frequency() const;

  Event pending_[kMaxBlockNoteEvents] = {};
  std::atomic<std::int32_t> pending_count_{0};
  std::atomic<bool> overflowed_{false};
  std::int32_t next_ = 0;  // [audio thread] first pending event not yet rendered
  // Held notes, oldest first; the last is the one that sounds.
  std::uint8_t held_[kNoteCount] = {};
  std::int32_t held_count_ = 0;
  std::int32_t last_note_ = -1;  // -1 before any note
};

}  // namespace korvel
