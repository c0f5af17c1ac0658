// The file reader and writer on Windows. Paths arrive in the ANSI code page
// (what the file dialogs answer) and are used as wide strings.
#ifdef _WIN32

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/file_io.h"
#include "engine/file_io_internal.h"

namespace korvel {

namespace text = file_io_text;
using file_io_detail::SameAsInputReason;

namespace {

std::wstring Wide(const std::string& path) {
  if (path.empty()) return {};
  const int length = MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_ACP, 0, path.data(), static_cast<int>(path.size()), wide.data(), length);
  return wide;
}

std::string Narrow(const std::wstring& path) {
  if (path.empty()) return {};
  const int length =
      WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), nullptr, 0, nullptr, nullptr);
  std::string narrow(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0)
    WideCharToMultiByte(CP_ACP, 0, path.data(), static_cast<int>(path.size()), narrow.data(), length, nullptr,
                        nullptr);
  return narrow;
}

std::string SystemReason(DWORD code) {
  char reason[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, reason, sizeof reason,
                 nullptr);
  std::string out = reason;
  while (!out.empty() && (out.back() == '\n' || out.back() == '\r' || out.back() == ' ' || out.back() == '.'))
    out.pop_back();
  return out.empty() ? text::kUnknownError : out;
}

struct Handle {
  HANDLE h = INVALID_HANDLE_VALUE;
  ~Handle() {
    if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
  }
  bool ok() const { return h != INVALID_HANDLE_VALUE; }
};

// Opened to ask what it is, not to read it.
HANDLE OpenToQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

struct Identity {
  DWORD volume = 0, high = 0, low = 0;
  bool operator==(const Identity& o) const { return volume == o.volume && high == o.high && low == o.low; }
};

bool IdentityOf(HANDLE h, Identity& id) {
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(h, &info)) return false;
  id = {info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow};
  return true;
}

bool IdentityOfInput(const std::string& path, Identity& id) {
  if (path == "-") return IdentityOf(GetStdHandle(STD_INPUT_HANDLE), id);
  Handle h{OpenToQuery(Wide(path))};
  return h.ok() && IdentityOf(h.h, id);
}

const ProtectedInput* SameAsAnInput(HANDLE target, const std::vector<ProtectedInput>& inputs) {
  Identity t;
  if (!IdentityOf(target, t)) return nullptr;
  for (const ProtectedInput& input : inputs) {
    Identity id;
    if (IdentityOfInput(input.path, id) && id == t) return &input;
  }
  return nullptr;
}

std::string FolderOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/");
  if (slash == std::string::npos) return path.size() >= 2 && path[1] == ':' ? path.substr(0, 2) : "";
  return slash == 0 || (slash == 2 && path[1] == ':') ? path.substr(0, slash + 1) : path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const auto slash = path.find_last_of("\\/:");
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Where `target` is written, after the refusals: the file behind any
// symbolic link, so the link stays.
bool Resolve(const std::string& target, const std::vector<ProtectedInput>& inputs, Existing existing,
             std::string& path, std::string& reason) {
  const std::wstring wide = Wide(target);
  Handle h{OpenToQuery(wide)};
  if (h.ok()) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (GetFileType(h.h) != FILE_TYPE_DISK || !GetFileInformationByHandle(h.h, &info))
      return reason = text::kNotReplaced, false;
    if (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return reason = text::kIsDirectory, false;
    if (const ProtectedInput* input = SameAsAnInput(h.h, inputs)) return reason = SameAsInputReason(*input), false;
    if (existing == Existing::kKeep) return reason = text::kExists, false;
    path = target;
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      wchar_t final_path[32768];
      const DWORD length = GetFinalPathNameByHandleW(h.h, final_path, 32768, FILE_NAME_NORMALIZED);
      if (length == 0 || length >= 32768) return reason = SystemReason(GetLastError()), false;
      path = Narrow(final_path);
    }
    return true;
  }
  const DWORD code = GetLastError();
  if (code != ERROR_FILE_NOT_FOUND && code != ERROR_PATH_NOT_FOUND) return reason = SystemReason(code), false;
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) return reason = text::kLinkToNothing, false;
  const std::string folder = FolderOf(target);
  if (!folder.empty()) {
    const DWORD folder_attributes = GetFileAttributesW(Wide(folder).c_str());
    if (folder_attributes == INVALID_FILE_ATTRIBUTES || !(folder_attributes & FILE_ATTRIBUTE_DIRECTORY))
      return reason = text::kNoFolder + ("'" + folder + "'"), false;
  }
  path = target;
  return true;
}

std::string RandomSuffix() {
  static std::atomic<std::uint64_t> counter{0};
  LARGE_INTEGER now{};
  QueryPerformanceCounter(&now);
  std::uint64_t x = static_cast<std::uint64_t>(now.QuadPart) ^
                    (static_cast<std::uint64_t>(GetCurrentProcessId()) << 32) ^
                    (counter.fetch_add(1) * 0x9E3779B97F4A7C15ull);
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
  HANDLE h = INVALID_HANDLE_VALUE;
  if (pipes && path == "-") {
    h = GetStdHandle(STD_INPUT_HANDLE);
    if (h == nullptr || h == INVALID_HANDLE_VALUE) return reason = SystemReason(ERROR_INVALID_HANDLE), nullptr;
    input->owned_ = false;
  } else {
    const std::wstring wide = Wide(path);
    const DWORD attributes = GetFileAttributesW(wide.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY))
      return reason = text::kIsDirectory, nullptr;
    // CreateFile never waits for a pipe: a busy one fails at once.
    h = CreateFileW(wide.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                    FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return reason = SystemReason(GetLastError()), nullptr;
  }
  input->handle_ = h;
  const DWORD type = GetFileType(h);
  if (type == FILE_TYPE_CHAR) return reason = input->owned_ ? text::kIsDevice : text::kStdinTerminal, nullptr;
  if (type == FILE_TYPE_PIPE && !pipes) return reason = text::kIsPipe, nullptr;
  if (type != FILE_TYPE_DISK && type != FILE_TYPE_PIPE) return reason = text::kNotRegular, nullptr;
  input->pipe_ = type == FILE_TYPE_PIPE;
  LARGE_INTEGER size{};
  input->size_hint_ = !input->pipe_ && GetFileSizeEx(h, &size) ? static_cast<long long>(size.QuadPart) : -1;
  return input;
}

InputFile::~InputFile() {
  if (owned_ && handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
}

long long InputFile::Read(void* data, std::size_t size, std::string& reason) {
  DWORD got = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  if (ReadFile(handle_, data, want, &got, nullptr)) return got;
  const DWORD code = GetLastError();
  if (code == ERROR_BROKEN_PIPE || code == ERROR_HANDLE_EOF) return 0;  // the writer is done
  reason = SystemReason(code);
  return -1;
}

// ------------------------------------------------------------ writing

bool CheckOutputTarget(const std::string& target, const std::vector<ProtectedInput>& inputs, Existing existing,
                       std::string& reason) {
  if (target == "-") {
    if (const ProtectedInput* input = SameAsAnInput(GetStdHandle(STD_OUTPUT_HANDLE), inputs))
      return reason = SameAsInputReason(*input), false;
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
  std::string folder = FolderOf(out->target_);
  if (!folder.empty() && folder.back() != '\\' && folder.back() != '/' && folder.back() != ':') folder += '\\';
  const std::string name = NameOf(out->target_).substr(0, 200);
  for (int attempt = 0; attempt < 100; ++attempt) {
    out->temporary_ = folder + "." + name + ".korvel-" + RandomSuffix();
    // CREATE_NEW: only a name nobody has, never an existing file or link.
    HANDLE h = CreateFileW(Wide(out->temporary_).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
      out->handle_ = h;
      return out;
    }
    const DWORD code = GetLastError();
    if (code != ERROR_FILE_EXISTS && code != ERROR_ALREADY_EXISTS) {
      out->temporary_.clear();
      reason = SystemReason(code);
      return nullptr;
    }
  }
  out->temporary_.clear();
  reason = SystemReason(ERROR_FILE_EXISTS);
  return nullptr;
}

OutputFile::~OutputFile() {
  if (handle_ != nullptr) CloseHandle(handle_);
  if (!committed_ && !temporary_.empty()) DeleteFileW(Wide(temporary_).c_str());
}

bool OutputFile::Failed() {
  if (error_.empty()) error_ = SystemReason(GetLastError());
  return false;
}

bool OutputFile::Write(const void* data, std::size_t size) {
  if (!error_.empty() || handle_ == nullptr) return false;
  const char* p = static_cast<const char*>(data);
  while (size > 0) {
    const DWORD piece = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD wrote = 0;
    if (!WriteFile(handle_, p, piece, &wrote, nullptr) || wrote == 0) return Failed();
    p += wrote;
    size -= wrote;
  }
  return true;
}

long long OutputFile::Read(void* data, std::size_t size) {
  DWORD got = 0;
  const DWORD want = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
  return ReadFile(handle_, data, want, &got, nullptr) ? static_cast<long long>(got) : -1;
}

long long OutputFile::Seek(long long offset, int whence) {
  LARGE_INTEGER distance{}, now{};
  distance.QuadPart = offset;
  const DWORD method = whence == SEEK_END ? FILE_END : whence == SEEK_CUR ? FILE_CURRENT : FILE_BEGIN;
  return SetFilePointerEx(handle_, distance, &now, method) ? now.QuadPart : -1;
}

long long OutputFile::Length() {
  LARGE_INTEGER size{};
  return GetFileSizeEx(handle_, &size) ? size.QuadPart : -1;
}

bool OutputFile::Commit(std::string& reason) {
  if (committed_ || handle_ == nullptr) return reason = SystemReason(ERROR_INVALID_HANDLE), false;
  // On the disk before it takes the target's place.
  if (error_.empty() && !FlushFileBuffers(handle_)) Failed();
  if (!CloseHandle(handle_) && error_.empty()) Failed();
  handle_ = nullptr;
  if (error_.empty()) {
    const DWORD flags = MOVEFILE_WRITE_THROUGH | (existing_ == Existing::kReplace ? MOVEFILE_REPLACE_EXISTING : 0);
    if (!MoveFileExW(Wide(temporary_).c_str(), Wide(target_).c_str(), flags)) {
      const DWORD code = GetLastError();
      error_ = existing_ == Existing::kKeep && (code == ERROR_ALREADY_EXISTS || code == ERROR_FILE_EXISTS)
                   ? std::string(text::kExists)
                   : SystemReason(code);
    }
  }
  if (!error_.empty()) {
    reason = error_;
    return false;  // the destructor removes the temporary file
  }
  committed_ = true;
  return true;
}

void RemoveTemporaryFilesOnSignals() {}

}  // namespace korvel

#endif  // _WIN32
