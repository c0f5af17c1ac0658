// The file reader and writer on Linux and other POSIX systems.
#ifndef _WIN32

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "engine/file_io.h"
#include "engine/file_io_internal.h"

namespace korvel {

namespace text = file_io_text;
using file_io_detail::SameAsInputReason;

namespace {

std::string SystemReason(int code) {
  const char* text = code != 0 ? std::strerror(code) : nullptr;
  return text != nullptr ? text : text::kUnknownError;
}

// Why an input of this kind is not read, or null when it is.
const char* RefusedInput(const struct stat& st, bool pipes) {
  if (S_ISREG(st.st_mode)) return nullptr;
  if (S_ISDIR(st.st_mode)) return text::kIsDirectory;
  if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode)) return pipes ? nullptr : text::kIsPipe;
  if (S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode)) return text::kIsDevice;
  return text::kNotRegular;
}

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// The identity of an input as the command reads it: "-" is whatever
// standard input is.
bool IdentityOf(const std::string& path, struct stat& st) {
  return path == "-" ? fstat(STDIN_FILENO, &st) == 0 : stat(path.c_str(), &st) == 0;
}

const ProtectedInput* SameAsAnInput(const struct stat& target, const std::vector<ProtectedInput>& inputs) {
  for (const ProtectedInput& input : inputs) {
    struct stat st {};
    if (IdentityOf(input.path, st) && SameFile(st, target)) return &input;
  }
  return nullptr;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.rfind('/');
  if (slash == std::string::npos) return "";
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where `target` is written, after the refusals. `path` is the file the
// rename replaces: a symbolic link's final target, so the link stays.
bool Resolve(const std::string& target, const std::vector<ProtectedInput>& inputs, Existing existing,
             std::string& path, std::string& reason) {
  struct stat st {};
  if (stat(target.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return reason = text::kIsDirectory, false;
    if (!S_ISREG(st.st_mode)) return reason = text::kNotReplaced, false;
    if (const ProtectedInput* input = SameAsAnInput(st, inputs)) return reason = SameAsInputReason(*input), false;
    if (existing == Existing::kKeep) return reason = text::kExists, false;
    struct stat link {};
    path = target;
    if (lstat(target.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
      char resolved[PATH_MAX];
      if (realpath(target.c_str(), resolved) == nullptr) return reason = SystemReason(errno), false;
      path = resolved;
    }
    return true;
  }
  const int code = errno;
  if (code != ENOENT) return reason = SystemReason(code), false;
  struct stat link {};
  if (lstat(target.c_str(), &link) == 0) return reason = text::kLinkToNothing, false;
  const std::string folder = FolderOf(target);
  struct stat dir {};
  if (!folder.empty() && (stat(folder.c_str(), &dir) != 0 || !S_ISDIR(dir.st_mode)))
    return reason = text::kNoFolder + ("'" + folder + "'"), false;
  path = target;
  return true;
}

// ------------------------------------------------------------ signals

// Temporary files to remove when a signal stops the process. A slot is
// claimed (1), filled, then published (2); the handler reads published
// slots only. [any thread, atomic]
constexpr int kSlots = 16;
struct TemporarySlot {
  std::atomic<int> state{0};
  char path[PATH_MAX];
};
TemporarySlot g_temporaries[kSlots];

constexpr int kStoppingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,
                                    SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGABRT};

int Remember(const std::string& path) {
  if (path.size() >= PATH_MAX) return -1;
  for (int i = 0; i < kSlots; ++i) {
    int free = 0;
    if (!g_temporaries[i].state.compare_exchange_strong(free, 1)) continue;
    std::memcpy(g_temporaries[i].path, path.c_str(), path.size() + 1);
    g_temporaries[i].state.store(2, std::memory_order_release);
    return i;
  }
  return -1;  // still removed on every ordinary way out
}

void Forget(int slot) {
  if (slot >= 0) g_temporaries[slot].state.store(0, std::memory_order_release);
}

// Runs on whichever thread the signal reaches; a second signal may run it
// on another thread at the same time, which is harmless. The handler stays
// installed until the files are gone: had it been reset on entry, a second
// signal reaching another thread (`timeout` signals the process and its
// group) would end the process before they were.
extern "C" void RemoveTemporariesAndStop(int signal_number) {
  const int saved = errno;
  for (TemporarySlot& slot : g_temporaries)
    if (slot.state.load(std::memory_order_acquire) == 2) unlink(slot.path);
  // Raised again with the default action, the signal ends the process as
  // it would have, once this handler returns (it is blocked until then).
  std::signal(signal_number, SIG_DFL);
  raise(signal_number);
  errno = saved;
}

// Keeps the stopping signals out while a temporary file is made and
// remembered, so none can slip between the two.
class SignalsHeld {
 public:
  SignalsHeld() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : kStoppingSignals) sigaddset(&set, s);
    pthread_sigmask(SIG_BLOCK, &set, &old_);
  }
  ~SignalsHeld() { pthread_sigmask(SIG_SETMASK, &old_, nullptr); }

 private:
  sigset_t old_;
};

// A name nobody else is likely to pick; O_EXCL makes sure.
std::string RandomSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t x = static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()) ^
                    (static_cast<std::uint64_t>(getpid()) << 32) ^ (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBull;
  x ^= x >> 31;
  static constexpr char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::string suffix;
  for (int i = 0; i < 8; ++i, x /= 36) suffix += kDigits[x % 36];
  return suffix;
}

}  // namespace

// ------------------------------------------------------------ reading

std::unique_ptr<InputFile> InputFile::Open(const std::string& path, bool pipes, std::string& reason) {
  std::unique_ptr<InputFile> input(new InputFile());
  struct stat st {};
  if (pipes && path == "-") {
    if (fstat(STDIN_FILENO, &st) != 0) return reason = SystemReason(errno), nullptr;
    if (S_ISCHR(st.st_mode) && isatty(STDIN_FILENO)) return reason = text::kStdinTerminal, nullptr;
    if (const char* refused = RefusedInput(st, true)) return reason = refused, nullptr;
    input->fd_ = STDIN_FILENO;
    input->owned_ = false;
  } else {
    // The kind first, so that a device is never even opened (opening some
    // has effects of its own); a FIFO is opened without waiting for a
    // writer, and the kind checked again on what was opened.
    if (stat(path.c_str(), &st) != 0) return reason = SystemReason(errno), nullptr;
    if (const char* refused = RefusedInput(st, pipes)) return reason = refused, nullptr;
    input->fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (input->fd_ < 0) return reason = SystemReason(errno), nullptr;
    if (fstat(input->fd_, &st) != 0) return reason = SystemReason(errno), nullptr;
    if (const char* refused = RefusedInput(st, pipes)) return reason = refused, nullptr;
    // Reads wait for data from here on; a FIFO nobody writes to reads as
    // empty at once.
    const int flags = fcntl(input->fd_, F_GETFL);
    if (flags >= 0) fcntl(input->fd_, F_SETFL, flags & ~O_NONBLOCK);
  }
  input->pipe_ = !S_ISREG(st.st_mode);
  input->size_hint_ = input->pipe_ ? -1 : static_cast<long long>(st.st_size);
  return input;
}

InputFile::~InputFile() {
  if (owned_ && fd_ >= 0) close(fd_);
}

long long InputFile::Read(void* data, std::size_t size, std::string& reason) {
  for (;;) {
    const ssize_t got = read(fd_, data, size);
    if (got >= 0) return got;
    if (errno == EINTR) continue;
    reason = SystemReason(errno);
    return -1;
  }
}

// ------------------------------------------------------------ writing

bool CheckOutputTarget(const std::string& target, const std::vector<ProtectedInput>& inputs, Existing existing,
                       std::string& reason) {
  if (target == "-") {
    struct stat st {};
    if (fstat(STDOUT_FILENO, &st) != 0) return true;  // closed: the first write says so
    if (const ProtectedInput* input = SameAsAnInput(st, inputs)) return reason = SameAsInputReason(*input), false;
    return true;
  }
  std::string path;
  return Resolve(target, inputs, existing, path, reason);
}

std::unique_ptr<OutputFile> OutputFile::Create(const std::string& target, const std::vector<ProtectedInput>& inputs,
                                               Existing existing, std::string& reason) {
  std::unique_ptr<OutputFile> out(new OutputFile());
  if (!Resolve(target, inputs, existing, out->target_, reason)) return nullptr;
  out->existing_ = existing;
  const std::string folder = FolderOf(out->target_);
  // A hidden name beside the target, cut so that it stays a valid name.
  const std::string name = NameOf(out->target_).substr(0, NAME_MAX - 32);
  const SignalsHeld held;
  for (int attempt = 0; attempt < 100 && out->fd_ < 0; ++attempt) {
    out->temporary_ = (folder.empty() ? "" : folder == "/" ? "/" : folder + "/") + "." + name + ".korvel-" +
                      RandomSuffix();
    // Remembered before it exists: the signals are held on this thread
    // only, and one sent to the process may run its handler on another
    // thread (the one reading standard input) between the two.
    out->slot_ = Remember(out->temporary_);
    // Exclusive and never through a link: an existing name, a planted
    // symbolic link among them, is simply not this file.
    out->fd_ = open(out->temporary_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out->fd_ >= 0) break;
    const int error = errno;
    Forget(out->slot_);
    out->slot_ = -1;
    if (error != EEXIST) {
      reason = SystemReason(error);
      out->temporary_.clear();
      return nullptr;
    }
  }
  if (out->fd_ < 0) {
    reason = SystemReason(EEXIST);
    out->temporary_.clear();
    return nullptr;
  }
  return out;
}

OutputFile::~OutputFile() {
  if (fd_ >= 0) close(fd_);
  if (!committed_ && !temporary_.empty()) unlink(temporary_.c_str());
  Forget(slot_);
}

bool OutputFile::Failed() {
  if (error_.empty()) error_ = SystemReason(errno);
  return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (!error_.empty() || fd_ < 0) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t wrote = write(fd_, p, size);
    if (wrote < 0) {
      if (errno == EINTR) continue;
      return Failed();
    }
    p += wrote;
    size -= static_cast<std::size_t>(wrote);
  }
  return true;
}

long long OutputFile::Read(void* data, std::size_t size) {
  for (;;) {
    const ssize_t got = read(fd_, data, size);
    if (got >= 0 || errno != EINTR) return got;
  }
}

long long OutputFile::Seek(long long offset, int whence) { return lseek(fd_, static_cast<off_t>(offset), whence); }

long long OutputFile::Length() {
  struct stat st {};
  return fstat(fd_, &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

bool OutputFile::Commit(std::string& reason) {
  if (committed_ || fd_ < 0) return reason = SystemReason(EBADF), false;
  // On the disk before it takes the target's place: a crash after the
  // rename must not leave an empty file where the old one was.
  if (error_.empty() && fsync(fd_) != 0 && errno != EINVAL) Failed();
  // A replaced file keeps its owner (where we may give it) and permissions;
  // a new one was created with what the umask allows.
  struct stat old {};
  if (error_.empty() && stat(target_.c_str(), &old) == 0) {
    if (fchown(fd_, old.st_uid, old.st_gid) != 0) {
      // Not ours to give: the file stays ours.
    }
    if (fchmod(fd_, old.st_mode & 07777) != 0) Failed();
  }
  const int closed = close(fd_);
  fd_ = -1;
  if (error_.empty() && closed != 0) Failed();
  if (error_.empty()) {
    int renamed = -1;
    if (existing_ == Existing::kKeep) {
      // Only where nothing is: a file that appeared meanwhile stays.
      renamed = renameat2(AT_FDCWD, temporary_.c_str(), AT_FDCWD, target_.c_str(), RENAME_NOREPLACE);
      if (renamed != 0 && (errno == EINVAL || errno == ENOSYS)) {
        renamed = link(temporary_.c_str(), target_.c_str());
        if (renamed == 0) unlink(temporary_.c_str());
      }
      if (renamed != 0 && errno == EEXIST) error_ = text::kExists;
    } else {
      renamed = rename(temporary_.c_str(), target_.c_str());
    }
    if (renamed != 0) Failed();
  }
  if (!error_.empty()) {
    reason = error_;
    return false;  // the destructor removes the temporary file
  }
  committed_ = true;
  Forget(slot_);
  slot_ = -1;
  return true;
}

void RemoveTemporaryFilesOnSignals() {
  for (int s : kStoppingSignals) {
    struct sigaction old {};
    if (sigaction(s, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    struct sigaction action {};
    action.sa_handler = RemoveTemporariesAndStop;
    sigemptyset(&action.sa_mask);
    for (int other : kStoppingSignals) sigaddset(&action.sa_mask, other);
    sigaction(s, &action, nullptr);
  }
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace korvel

#endif  // !_WIN32
