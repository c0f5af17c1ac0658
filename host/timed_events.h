// A fixed queue of events for the module's next audio call, each at a
// frame of that call. The host's event calls push, the audio call reads and
// then empties it; as with notes, the host makes the two calls in turn, and
// the count is handed over with release/acquire ordering, so they may come
// from different threads. Nothing is allocated.
#pragma once

#include <atomic>
#include <cstdint>

namespace korvel {

template <class Event, int Capacity>
class TimedEvents {
 public:
  // [event call] Keeps frame order; events of one frame stay in the order
  // given. False, and the event dropped, when the queue is full.
  bool Push(std::uint32_t frame, const Event& event) {
    const std::int32_t count = count_.load(std::memory_order_acquire);
    if (count >= Capacity) return false;
    std::int32_t at = count;
    while (at > 0 && queue_[at - 1].frame > frame) {
      queue_[at] = queue_[at - 1];
      --at;
    }
    queue_[at] = {frame, event};
    count_.store(count + 1, std::memory_order_release);
    return true;
  }

  // [audio thread] Reading, from Begin() to the next Clear().
  void Begin() {
    count_seen_ = count_.load(std::memory_order_acquire);
    next_ = 0;
  }
  // The frame of the next unread event, or `none` when all are read.
  std::uint32_t NextFrame(std::uint32_t none) const { return next_ < count_seen_ ? queue_[next_].frame : none; }
  // The same for the next unread event that `matters`, or `none`.
  template <class Predicate>
  std::uint32_t NextFrameWhere(Predicate matters, std::uint32_t none) const {
    for (std::int32_t i = next_; i < count_seen_; ++i)
      if (matters(queue_[i].event)) return queue_[i].frame;
    return none;
  }
  // The next unread event when it is due at or before `frame`, or null.
  const Event* TakeDue(std::uint32_t frame) {
    if (next_ >= count_seen_ || queue_[next_].frame > frame) return nullptr;
    return &queue_[next_++].event;
  }
  // Every event given so far has been read: the queue starts again.
  void Clear() {
    next_ = 0;
    count_seen_ = 0;
    count_.store(0, std::memory_order_release);
  }

 private:
  struct Timed {
    std::uint32_t frame;
    Event event;
  };
  Timed queue_[Capacity] = {};
  std::atomic<std::int32_t> count_{0};
  std::int32_t count_seen_ = 0;  // [audio thread]
  std::int32_t next_ = 0;        // [audio thread]
};

}  // namespace korvel
