// Files the user names: the one reader and the one writer that every part
// of Korvel goes through — the engine's module files (the editor's Load
// Module and Save Module as), the LV2 plug-in's module file loader, the
// command-line tools' modules, scripts, control files, audio and pictures,
// and components that read files of their own.
//
// Reading. An input's kind is checked before a byte is read, and it is
// opened so that the open itself never waits (a FIFO without a writer).
// Regular files are read; pipes and FIFOs (and "-", standard input) only
// where the caller allows them; directories and devices never. A whole-file
// read stops one byte past its bound and refuses the input, whatever size
// the file system claimed (/proc files claim 0).
//
//   std::string bytes, reason;
//   if (!ReadInputFile(path, {kMaxModuleImageSize}, bytes, reason))
//     Tell("couldn't load '" + path + "': " + reason);
//
// Each kind of input has its bound, stated where the kind is defined and
// listed in docs/robustness.md (a module: kModuleFileLimits in
// engine/module_file.h). A stream with no bound (audio) is opened with
// InputFile::Open, which makes the same checks, and read in pieces.
//
// Writing. Output goes to a fresh temporary file beside the target, created
// exclusively (never a fixed name, never through a symbolic link planted at
// that name), and replaces the target in one rename only when it is
// complete and flushed; a failure or an interruption leaves the old file as
// it was. Before anything is made, the target is refused when it is a
// directory or not a regular file, or when it is the same file as one of
// the command's inputs (compared by identity: device and inode, or volume
// and file index on Windows, so a hard link, a symbolic link, /dev/stdin or
// /dev/fd/N naming an input is caught). A target that is a symbolic link is
// written through: the file it names is replaced and the link stays.
//
//   // Every file the command reads, "-" for standard input:
//   const std::vector<ProtectedInput> inputs{{module_path, "the module"}, {input_path, "the input"}};
//   // Refuse early, before any work, where the work is long (a render):
//   if (!CheckOutputTarget(path, inputs, Existing::kReplace, reason)) ...
//   auto out = OutputFile::Create(path, inputs, Existing::kReplace, reason);
//   if (!out) ...
//   out->Write(data, size);  // as often as needed; a failure is kept
//   if (!out->Commit(reason)) ...  // reports the first failure, if any
//   // An OutputFile destroyed without a Commit removes its temporary file.
//   // For bytes already in memory, all of it in one call:
//   WriteWholeFile(path, bytes, inputs, Existing::kReplace, reason);
//
// Every `reason` is one line without the file's name (the caller names it):
// "it is a directory", "No space left on device", ... Paths are in the
// platform's narrow encoding (UTF-8 on Linux, the ANSI code page that the
// Windows file dialogs answer in).
//
// Threads: every function may be called from any thread; an OutputFile or
// InputFile belongs to one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

// ---------------------------------------------------------------- reading

struct ReadLimits {
  std::size_t max_bytes;  // a larger input is refused
  bool pipes = false;     // pipes, FIFOs and "-" (standard input) are read too
  bool empty = true;      // an empty input is accepted
};

// An input opened and checked, read in pieces (audio streams) or whole.
class InputFile {
 public:
  // Opens `path` without waiting and checks its kind: a regular file, or a
  // pipe or FIFO when `pipes` is set ("-" is then standard input). Null,
  // with `reason` set, for anything else.
  static std::unique_ptr<InputFile> Open(const std::string& path, bool pipes, std::string& reason);
  ~InputFile();  // closes it (never standard input)
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;

  // Up to `size` bytes: the count, 0 at the end, or -1 with `reason` set.
  long long Read(void* data, std::size_t size, std::string& reason);
  bool is_pipe() const { return pipe_; }
  // What the file system says for a regular file; -1 for a pipe.
  long long size_hint() const { return size_hint_; }
#ifndef _WIN32
  // For a library that reads from a descriptor itself (libsndfile); it
  // stays owned by this object.
  int fd() const { return fd_; }
#endif

 private:
  InputFile() = default;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
#endif
  bool owned_ = true;
  bool pipe_ = false;
  long long size_hint_ = -1;
};

// The whole input, checked against `limits`. False with `reason` set.
bool ReadInputFile(const std::string& path, const ReadLimits& limits, std::string& bytes, std::string& reason);

// "`what` is too large (N bytes; at most LIMIT)": the one text for every
// refusal by size, for files, images and chunks alike.
std::string TooLargeReason(const char* what, unsigned long long size, unsigned long long limit);

// ---------------------------------------------------------------- writing

// A file the output must not be: one of the command's inputs.
struct ProtectedInput {
  std::string path;  // "-" is standard input
  std::string role;  // "the module", "the automation file": for the message
};

enum class Existing {
  kReplace,  // an existing regular file is replaced
  kKeep,     // an existing file is refused ("it already exists"), never replaced
};

// Whether `target` may be written, without making anything: the refusals
// that OutputFile::Create makes first, for commands that check their output
// before doing any work. "-" is standard output: refused only when it is
// the same file as an input (a redirection onto one of them).
bool CheckOutputTarget(const std::string& target, const std::vector<ProtectedInput>& inputs, Existing existing,
                       std::string& reason);

class OutputFile {
 public:
  // Checks the target as CheckOutputTarget does, then creates the
  // temporary file. Null with `reason` set.
  static std::unique_ptr<OutputFile> Create(const std::string& target, const std::vector<ProtectedInput>& inputs,
                                            Existing existing, std::string& reason);
  // Removes the temporary file unless it was committed.
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  // Writes all of `data` at the current position. After the first failure
  // every call answers false and error() holds the system's words ("No space
  // left on device"); Commit reports it too.
  bool Write(const void* data, std::size_t size);
  // For writers that go back to a header (libsndfile): read at the current
  // position (-1 on failure), move it (SEEK_SET, SEEK_CUR, SEEK_END; the new
  // position or -1), and the file's length so far (-1 on failure).
  long long Read(void* data, std::size_t size);
  long long Seek(long long offset, int whence);
  long long Length();
  const std::string& error() const { return error_; }

  // Flushes the file to the disk, closes it and renames it over the target
  // (a replaced file keeps its permissions; a new one gets what the umask
  // allows). False with `reason` set when anything failed, the first write
  // error included; the temporary file is then removed and the target is as
  // it was.
  bool Commit(std::string& reason);

  // Where the file lands (a symbolic link's final target).
  const std::string& target() const { return target_; }

 private:
  OutputFile() = default;
  bool Failed();  // records the system's last error; answers false
  std::string target_, temporary_;
  std::string error_;
  Existing existing_ = Existing::kReplace;
#ifdef _WIN32
  void* handle_ = nullptr;
#else
  int fd_ = -1;
  int slot_ = -1;  // in the list removed on a signal
#endif
  bool committed_ = false;
};

// The whole of `bytes` through an OutputFile.
bool WriteWholeFile(const std::string& target, std::string_view bytes, const std::vector<ProtectedInput>& inputs,
                    Existing existing, std::string& reason);

// For programs, not plug-ins: removes the temporary file of every
// OutputFile still open when the process is stopped by SIGINT, SIGTERM,
// SIGHUP, SIGQUIT, SIGPIPE, SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU or SIGABRT,
// then lets the signal end the process as it would have; a signal ignored
// when this is called stays ignored. SIGXFSZ is ignored, so a write past the
// file size limit fails ("File too large") and is reported like a full
// disk. Call once, early in main; a plug-in leaves its host's signals alone.
// Nothing on Windows.
void RemoveTemporaryFilesOnSignals();

}  // namespace korvel
