#include "tools/korvel/stdin_spool.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "tools/korvel/text_format.h"

namespace korvel::cli {

namespace {

constexpr std::size_t kLook = 12;  // enough to tell the stream types apart

bool ReadFully(int fd, char* into, std::size_t want, std::size_t& got) {
  got = 0;
  while (got < want) {
    const ssize_t n = read(fd, into + got, want - got);
    if (n == 0) return true;
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<std::size_t>(n);
  }
  return true;
}

bool WriteFully(int fd, const char* from, std::size_t size) {
  while (size > 0) {
    const ssize_t n = write(fd, from, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    from += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Types libsndfile reads from a pipe front to back without seeking.
bool Streams(const char* head, std::size_t size) {
  if (size < 4) return false;
  const std::string tag(head, 4);
  return tag == "RIFF" || tag == "RIFX" || tag == "RF64" || tag == "FORM" || tag == "OggS" || tag == "caff";
}

// An unnamed file in the temporary folder: gone when its descriptor closes.
int UnnamedTemporary() {
  const char* folder = std::getenv("TMPDIR");
  const std::string dir = folder != nullptr && *folder != '\0' ? folder : "/tmp";
#ifdef O_TMPFILE
  const int fd = open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
#endif
  std::string pattern = dir + "/.korvel-stdin-XXXXXX";
  const int named = mkstemp(pattern.data());
  if (named >= 0) unlink(pattern.c_str());
  return named;
}

int Spool(const char* head, std::size_t size, std::string& error) {
  const int fd = UnnamedTemporary();
  if (fd < 0) {
    error = "cannot keep standard input in a temporary file: " + SystemErrorText(errno);
    return -1;
  }
  const auto fail = [&](const std::string& reason) {
    error = reason;
    close(fd);
    return -1;
  };
  if (!WriteFully(fd, head, size)) return fail("cannot keep standard input in a temporary file: " + SystemErrorText(errno));
  std::uint64_t total = size;
  static char buffer[1 << 16];
  for (;;) {
    const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("cannot read standard input: " + SystemErrorText(errno));
    }
    total += static_cast<std::uint64_t>(n);
    if (total > kMaxSpoolBytes)
      return fail("standard input holds more than 8 GiB of a type that cannot be read as it streams; give it as a file");
    if (!WriteFully(fd, buffer, static_cast<std::size_t>(n)))
      return fail("cannot keep standard input in a temporary file: " + SystemErrorText(errno));
  }
  if (lseek(fd, 0, SEEK_SET) != 0) return fail("cannot read standard input back: " + SystemErrorText(errno));
  return fd;
}

// Passes the bytes already looked at, then the rest of standard input, into
// a pipe of our own, on a thread that ends with the input or when the
// reading side is closed.
int Relay(const char* head, std::size_t size, std::string& error) {
  int ends[2];
  if (pipe2(ends, O_CLOEXEC) != 0) {
    error = "cannot read standard input: " + SystemErrorText(errno);
    return -1;
  }
  std::thread([write_end = ends[1], first = std::string(head, size)] {
    // A reader that stops early makes the write fail with EPIPE here,
    // rather than end the program with SIGPIPE.
    sigset_t pipe_signal;
    sigemptyset(&pipe_signal);
    sigaddset(&pipe_signal, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe_signal, nullptr);
    if (WriteFully(write_end, first.data(), first.size())) {
      char buffer[1 << 16];
      for (;;) {
        const ssize_t n = read(STDIN_FILENO, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0 || !WriteFully(write_end, buffer, static_cast<std::size_t>(n))) break;
      }
    }
    close(write_end);
  }).detach();
  return ends[0];
}

}  // namespace

int OpenStandardInput(std::string& error) {
  if (lseek(STDIN_FILENO, 0, SEEK_CUR) >= 0) {
    const int fd = dup(STDIN_FILENO);
    if (fd < 0) error = "cannot read standard input: " + SystemErrorText(errno);
    return fd;
  }
  char head[kLook];
  std::size_t size = 0;
  if (!ReadFully(STDIN_FILENO, head, sizeof head, size)) {
    error = "cannot read standard input: " + SystemErrorText(errno);
    return -1;
  }
  return Streams(head, size) ? Relay(head, size, error) : Spool(head, size, error);
}

}  // namespace korvel::cli
