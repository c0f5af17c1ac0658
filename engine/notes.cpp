#include "engine/notes.h"

#include <algorithm>
#include <cmath>

namespace korvel {

double NoteFrequency(int note) { return 440.0 * std::pow(2.0, (note - 69) / 12.0); }

void NoteTracker::Push(std::uint32_t frame, std::uint8_t status, std::uint8_t note, std::uint8_t velocity) {
  const std::uint8_t kind = status & 0xF0;  // any channel
  if ((kind != kOn && kind != kOff) || note >= kNoteCount) return;
  const std::int32_t count = pending_count_.load(std::memory_order_acquire);
  if (count >= kMaxBlockNoteEvents) {
    overflowed_.store(true, std::memory_order_relaxed);
    return;
  }
  // Kept in frame order; events of one frame stay in the order given.
  std::int32_t at = count;
  while (at > 0 && pending_[at - 1].frame > frame) {
    pending_[at] = pending_[at - 1];
    --at;
  }
  pending_[at] = {frame, static_cast<std::uint8_t>(kind == kOn && velocity > 0), note};
  pending_count_.store(count + 1, std::memory_order_release);
}

double NoteTracker::Frequency() const { return last_note_ < 0 ? 0.0 : NoteFrequency(last_note_); }

void NoteTracker::Apply(const Event& event) {
  std::uint8_t* end = held_ + held_count_;
  std::uint8_t* found = std::find(held_, end, event.note);
  if (found != end) {
    std::copy(found + 1, end, found);
    --held_count_;
  }
  if (event.on) held_[held_count_++] = event.note;
  if (held_count_ > 0) last_note_ = held_[held_count_ - 1];
}

void NoteTracker::Render(std::uint32_t first, std::uint32_t n, bool last_piece, NoteBlock& block) {
  block.frequency = Frequency();
  block.gate = held_count_ > 0 ? 1.0 : 0.0;
  block.change_count = 0;
  double frequency = block.frequency, gate = block.gate;
  const std::int32_t count = pending_count_.load(std::memory_order_acquire);
  for (; next_ < count; ++next_) {
    const Event& event = pending_[next_];
    if (!last_piece && event.frame >= first + n) break;
    const std::uint32_t frame = event.frame < first ? 0 : std::min(event.frame - first, n - 1);
    Apply(event);
    const double f = Frequency(), g = held_count_ > 0 ? 1.0 : 0.0;
    if (f == frequency && g == gate) continue;
    frequency = f;
    gate = g;
    // Events of one frame make one change: the state after the last of them,
    // or none when they undo each other.
    if (block.change_count > 0 && block.changes[block.change_count - 1].frame == frame) {
      --block.change_count;
      const bool first = block.change_count == 0;
      const double before_f = first ? block.frequency : block.changes[block.change_count - 1].frequency;
      const double before_g = first ? block.gate : block.changes[block.change_count - 1].gate;
      if (f == before_f && g == before_g) continue;
    }
    block.changes[block.change_count++] = {frame, f, g};
  }
  if (!last_piece) return;
  next_ = 0;
  pending_count_.store(0, std::memory_order_release);
  if (overflowed_.exchange(false, std::memory_order_relaxed)) held_count_ = 0;
}

void NoteTracker::Reset() {
  held_count_ = 0;
  last_note_ = -1;
}

}  // namespace korvel
