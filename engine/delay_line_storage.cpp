#include "engine/delay_line_storage.h"

#include <cstring>
#include <new>
#include <memory>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/mman.h>
#endif

namespace korvel {

#ifdef _WIN32

// Committed pages read as zero and get physical memory on first write. The
// write watch lists the pages written since the last clear, so a clear
// zeroes those and nothing else.
bool DelayLineStorage::Reserve() {
  if (base_ != nullptr) return true;
  base_ = VirtualAlloc(nullptr, kBytes, MEM_RESERVE | MEM_COMMIT | MEM_WRITE_WATCH, PAGE_READWRITE);
  write_watched_ = base_ != nullptr;
  if (base_ == nullptr) base_ = VirtualAlloc(nullptr, kBytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
  return base_ != nullptr;
}

DelayLineStorage::~DelayLineStorage() {
  if (base_ != nullptr) VirtualFree(base_, 0, MEM_RELEASE);
}

void DelayLineStorage::Clear() {
  if (base_ == nullptr) return;
  if (write_watched_) {
    // All written pages are listed first: zeroing them counts as writing, so
    // listing and zeroing in turns would find the same pages again.
    constexpr ULONG_PTR kMostPages = kBytes / 4096 + 1;
    const std::unique_ptr<void*[]> pages(new (std::nothrow) void*[kMostPages]);
    ULONG_PTR count = kMostPages;
    ULONG page_size = 0;
    if (pages != nullptr && GetWriteWatch(0, base_, kBytes, pages.get(), &count, &page_size) == 0) {
      for (ULONG_PTR i = 0; i < count; ++i) std::memset(pages[i], 0, page_size);
      ResetWriteWatch(base_, kBytes);
      return;
    }
  }
  std::memset(base_, 0, kBytes);
  if (write_watched_) ResetWriteWatch(base_, kBytes);
}

#else

// An anonymous private mapping reads as zero and gets physical memory on
// first write; giving the pages back makes them read as zero again.
bool DelayLineStorage::Reserve() {
  if (base_ != nullptr) return true;
  void* base = mmap(nullptr, kBytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return false;
  base_ = base;
  return true;
}

DelayLineStorage::~DelayLineStorage() {
  if (base_ != nullptr) munmap(base_, kBytes);
}

void DelayLineStorage::Clear() {
  if (base_ == nullptr) return;
#ifdef __linux__
  // Linux guarantees zero-filled pages after this on a private anonymous mapping.
  if (madvise(base_, kBytes, MADV_DONTNEED) == 0) return;
#endif
  std::memset(base_, 0, kBytes);
}

#endif

}  // namespace korvel
