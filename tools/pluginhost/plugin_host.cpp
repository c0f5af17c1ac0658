#include "tools/pluginhost/plugin_host.h"

#include <algorithm>
#include <array>
#include <cstring>

#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

namespace korvel::pluginhost {
namespace {

void* OpenLibrary(const std::string& path, std::string& error) {
#ifdef _WIN32
  HMODULE handle = LoadLibraryA(path.c_str());
  if (handle == nullptr) error = "cannot load " + path + " (error " + std::to_string(GetLastError()) + ")";
  return reinterpret_cast<void*>(handle);
#else
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) error = dlerror();
  return handle;
#endif
}

void CloseLibrary(void* handle) {
#ifdef _WIN32
  FreeLibrary(reinterpret_cast<HMODULE>(handle));
#else
  dlclose(handle);
#endif
}

template <class Function>
bool Resolve(void* handle, const char* name, Function& function, std::string& error) {
#ifdef _WIN32
  auto address = reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle), name));
#else
  void* address = dlsym(handle, name);
#endif
  if (address == nullptr) {
    error = std::string("the library has no export ") + name;
    return false;
  }
  function = reinterpret_cast<Function>(address);
  return true;
}

void PutLength(std::uint8_t* at, std::uint32_t length) {
  for (int i = 0; i < 4; ++i) at[i] = static_cast<std::uint8_t>(length >> (8 * i));
}

}  // namespace

const char* LibraryFileName() {
#if defined(_WIN64)
  return "korvel64.dll";
#elif defined(_WIN32)
  return "korvel.dll";
#else
  return "libkorvel.so";
#endif
}

std::string ProgramDirectory() {
  char path[4096] = {};
#ifdef _WIN32
  const DWORD length = GetModuleFileNameA(nullptr, path, sizeof path - 1);
  std::string program(path, length);
  const auto cut = program.find_last_of("\\/");
#else
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  std::string program(path, length > 0 ? static_cast<std::size_t>(length) : 0);
  const auto cut = program.find_last_of('/');
#endif
  return cut == std::string::npos ? std::string() : program.substr(0, cut + 1);
}

std::string DefaultLibraryPath() { return ProgramDirectory() + LibraryFileName(); }

std::unique_ptr<Library> Library::Load(const std::string& path, std::string& error) {
  void* handle = OpenLibrary(path, error);
  if (handle == nullptr) return nullptr;
  std::unique_ptr<Library> library(new Library());
  library->handle_ = handle;
  if (!Resolve(handle, "CreateDaveModule", library->create_module, error) ||
      !Resolve(handle, "DestroyDaveModule", library->destroy_module, error) ||
      !Resolve(handle, "DaveModuleInfo", library->module_info, error) ||
      !Resolve(handle, "DaveModuleName", library->module_name, error) ||
      !Resolve(handle, "CreateAdapterHandler", library->create_adapter_handler, error) ||
      !Resolve(handle, "HasAdapterHandler", library->has_adapter_handler, error) ||
      !Resolve(handle, "KorvelSetSampleRate", library->set_sample_rate, error) ||
      !Resolve(handle, "KorvelNonFiniteCount", library->non_finite_count, error) ||
      !Resolve(handle, "KorvelNonFiniteCounts", library->non_finite_counts, error) ||
      !Resolve(handle, "KorvelWatchOutputs", library->watch_outputs, error) ||
      !Resolve(handle, "KorvelFirstOffence", library->first_offence, error) ||
      !Resolve(handle, "KorvelLatencyFrames", library->latency_frames, error) ||
      !Resolve(handle, "KorvelSetModuleFolder", library->set_module_folder, error) ||
      !Resolve(handle, "KorvelSoundProblems", library->sound_problems, error) ||
      !Resolve(handle, "KorvelTransport", library->transport, error) ||
      !Resolve(handle, "KorvelSidechain", library->sidechain, error))
    return nullptr;
  std::string ignored;
  if (!Resolve(handle, "KorvelStateProblem", library->state_problem, ignored)) library->state_problem = nullptr;
  return library;
}

Library::~Library() {
  if (handle_ != nullptr) CloseLibrary(handle_);
}

std::int32_t RecordingPortDeclarer::DeclareFirstKind(const char* port, std::int32_t flag) {
  declarations.push_back({1, port, flag});
  return 0;
}

std::int32_t RecordingPortDeclarer::DeclareSecondKind(const char* port, std::int32_t flag) {
  declarations.push_back({2, port, flag});
  return 0;
}

std::int32_t RecordingHost::RegisterPort(const char* port, std::int32_t flag, PortCallback callback) {
  registrations.push_back({port, flag, callback});
  return 0;
}

PortCallback RecordingHost::Find(const std::string& port) const {
  for (const PortRegistration& r : registrations)
    if (r.port == port) return r.callback;
  return nullptr;
}

std::int32_t MemoryStream::Read(void* buffer, std::uint32_t count) {
  calls.emplace_back(3, count);
  const std::size_t available = bytes.size() - std::min(read_position, bytes.size());
  const std::size_t n = std::min<std::size_t>(count, available);
  if (n > 0) std::memcpy(buffer, bytes.data() + read_position, n);
  read_position += n;
  return static_cast<std::int32_t>(n);
}

std::int32_t MemoryStream::ReadLength(std::uint32_t* length) {
  calls.emplace_back(11, 4);
  std::uint32_t value = 0;
  for (int i = 0; i < 4 && read_position < bytes.size(); ++i, ++read_position)
    value |= static_cast<std::uint32_t>(bytes[read_position]) << (8 * i);
  *length = value;
  return 4;
}

std::int32_t MemoryStream::Write(const void* buffer, std::uint32_t count) {
  calls.emplace_back(14, count);
  const std::size_t at = bytes.size();
  bytes.resize(at + count);
  if (count > 0) std::memcpy(bytes.data() + at, buffer, count);
  return static_cast<std::int32_t>(count);
}

std::int32_t MemoryStream::WriteLength(std::uint32_t length) {
  calls.emplace_back(22, 4);
  const std::size_t at = bytes.size();
  bytes.resize(at + 4);
  PutLength(bytes.data() + at, length);
  return 4;
}

std::vector<std::uint8_t> ChunkOf(const std::string& image) {
  std::vector<std::uint8_t> chunk(4 + image.size());
  PutLength(chunk.data(), static_cast<std::uint32_t>(image.size()));
  if (!image.empty()) std::memcpy(chunk.data() + 4, image.data(), image.size());
  return chunk;
}

std::string ImageOf(const std::vector<std::uint8_t>& chunk) {
  if (chunk.size() < 4) return {};
  return std::string(chunk.begin() + 4, chunk.end());
}

std::unique_ptr<Module> Module::Create(Library& library) {
  ModuleBase* object = library.create_module();
  if (object == nullptr) return nullptr;
  return std::unique_ptr<Module>(new Module(library, object));
}

Module::~Module() { library_.destroy_module(object_); }

void Module::Init() { Call<void>(1, static_cast<HostInterface*>(&host_)); }

MemoryStream Module::SaveState() {
  MemoryStream stream;
  Call<void>(3, static_cast<HostStream*>(&stream));
  return stream;
}

MemoryStream Module::RestoreState(const std::vector<std::uint8_t>& chunk) {
  MemoryStream stream(chunk);
  Call<void>(2, static_cast<HostStream*>(&stream));
  return stream;
}

std::string Module::SaveImage() { return ImageOf(SaveState().bytes); }

void Module::RestoreImage(const std::string& image) { RestoreState(ChunkOf(image)); }

std::string Module::StateProblem() const {
  if (library_.state_problem == nullptr) return {};
  char text[1024] = {};
  library_.state_problem(object_, text, sizeof text);
  return text;
}

void Module::SetModuleFolder(const std::string& folder) { library_.set_module_folder(object_, folder.c_str()); }

std::vector<std::string> Module::SoundProblems() const {
  const std::int32_t length = library_.sound_problems(object_, nullptr, 0);
  std::string text(static_cast<std::size_t>(length) + 1, '\0');
  library_.sound_problems(object_, text.data(), length + 1);
  text.resize(static_cast<std::size_t>(length));
  std::vector<std::string> lines;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = std::min(text.find('\n', at), text.size());
    lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  return lines;
}

std::string Module::ParameterName(std::int32_t index, std::int32_t* answer) {
  char text[kHostTextSize] = {};
  const auto result = Call<std::int32_t>(5, index, static_cast<char*>(text));
  if (answer != nullptr) *answer = result;
  return text;
}

std::string Module::ParameterDisplay(std::int32_t index, std::int32_t* answer) {
  char text[kHostTextSize] = {};
  const auto result = Call<std::int32_t>(7, index, static_cast<char*>(text));
  if (answer != nullptr) *answer = result;
  return text;
}

double Module::ParameterValue(std::int32_t index) {
  ParameterValueRecord record{};
  Call<std::int32_t>(10, index, &record);
  return record.value;
}

std::int32_t Module::SetParameterValue(std::int32_t index, double value) {
  ParameterValueRecord record{};
  record.value = value;
  return Call<std::int32_t>(11, index, &record);
}

bool Module::SetSampleRate(double rate) { return library_.set_sample_rate(object_, rate); }

std::int32_t Module::CallPort(const char* port, void* record) {
  const PortCallback callback = host_.Find(port);
  return callback != nullptr ? callback(object_, record) : 0;
}

std::int32_t Module::Audio(float* interleaved, std::uint32_t frames) {
  void* buffers[1] = {interleaved};
  AudioBlockRecord block{buffers, frames};
  return CallPort("audio", &block);
}

std::uint64_t Module::NonFiniteCount() const { return library_.non_finite_count(object_); }

std::array<std::uint64_t, 3> Module::NonFiniteCounts() const {
  std::array<std::uint64_t, 3> counts{};
  library_.non_finite_counts(object_, counts.data());
  return counts;
}

void Module::WatchOutputs(double limit) { library_.watch_outputs(object_, limit); }

bool Module::FirstOffence(int& slot, std::uint64_t& frame, double& value) const {
  std::int32_t s = -1;
  if (!library_.first_offence(object_, &s, &frame, &value)) return false;
  slot = s;
  return true;
}

std::uint32_t Module::LatencyFrames() const { return library_.latency_frames(object_); }

bool Module::Transport(const TransportRecord& record) { return library_.transport(object_, &record); }

void Module::Sidechain(const float* interleaved, std::uint32_t frames) {
  library_.sidechain(object_, interleaved, frames);
}

std::int32_t Module::Notes(void* record) { return CallPort("notes", record); }

std::int32_t Module::Automation(AutomationEventList* events) { return CallPort("automation", events); }

}  // namespace korvel::pluginhost
