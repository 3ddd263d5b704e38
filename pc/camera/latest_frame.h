#pragma once

// The newest converted picture, handed from the input thread (which decodes, waits until the
// picture is due and converts it) to the output thread (which serves one picture per tick of
// the fixed output rate). Double-buffered: the input converts into `staging()` without the
// lock, and `publish()` swaps it in.

#include <cstdint>
#include <mutex>
#include <utility>

#include "pc/camera/nv12_converter.h"

struct FrameInfo {
  uint64_t seq = 0;       // 1, 2, 3 ... per published picture; 0: none yet
  uint64_t sof_ns = 0;    // when the picture was due (its capture time on the boot clock)
  uint64_t ready_ns = 0;  // when it was published
  bool current = false;   // its input is still up
};

class LatestFrame {
 public:
  // Input thread: sets the size of both pictures (once, before the first publish).
  void set_size(int width, int height) {
    std::lock_guard<std::mutex> lk(lock_);
    staging_.allocate(width, height);
    front_.allocate(width, height);
  }
  // Input thread: the picture to convert the next one into.
  Nv12Image &staging() { return staging_; }
  // Input thread: the staged picture becomes the newest.
  void publish(uint64_t sof_ns, uint64_t now_ns) {
    std::lock_guard<std::mutex> lk(lock_);
    std::swap(staging_, front_);
    info_.seq += 1;
    info_.sof_ns = sof_ns;
    info_.ready_ns = now_ns;
    info_.current = true;
  }
  // Input thread: the input is gone; the newest picture may no longer be repeated.
  void lose() {
    std::lock_guard<std::mutex> lk(lock_);
    info_.current = false;
  }
  // Output thread: fn(const Nv12Image &, const FrameInfo &) under the lock.
  template <typename Fn>
  void read(Fn &&fn) {
    std::lock_guard<std::mutex> lk(lock_);
    fn(static_cast<const Nv12Image &>(front_), static_cast<const FrameInfo &>(info_));
  }

 private:
  std::mutex lock_;
  Nv12Image staging_, front_;
  FrameInfo info_;
};

enum class TickChoice { SEND_NEW, REPEAT, SKIP };

// What goes out on a tick at `tick_ns`: a picture newer than the last one sent; else the last
// one again while its input is up and it is at most `max_repeat_ns` old (a source slower than
// the output rate); else nothing (the input stalled or failed: no frozen picture goes out).
inline TickChoice choose_for_tick(const FrameInfo &info, uint64_t last_sent_seq, uint64_t tick_ns,
                                  uint64_t max_repeat_ns) {
  if (info.seq == 0) return TickChoice::SKIP;
  if (info.seq != last_sent_seq) return TickChoice::SEND_NEW;
  if (info.current && tick_ns <= info.ready_ns + max_repeat_ns) return TickChoice::REPEAT;
  return TickChoice::SKIP;
}
