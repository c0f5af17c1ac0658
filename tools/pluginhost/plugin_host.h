// A host for the plug-in, used by the tests and the command-line host: loads
// the library at run time, provides the host objects a module calls
// (PortDeclarer, HostInterface, HostStream) and reaches every module
// operation by its slot in the module's table.
//
//   std::string error;
//   auto library = Library::Load(DefaultLibraryPath(), error);
//   auto module = Module::Create(*library);   // CreateDaveModule
//   module->Init();                           // registers the three ports
//   module->RestoreImage(image);              // a ".korvel" file's bytes
//   module->Audio(samples, frames);           // interleaved stereo floats
//   module.reset();                           // DestroyDaveModule
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "host/host_api.h"

namespace korvel::pluginhost {

// The plug-in's file name on this platform.
const char* LibraryFileName();
// The folder of the running program (with a trailing separator).
std::string ProgramDirectory();
// The plug-in beside the running program.
std::string DefaultLibraryPath();

class Library {
 public:
  // Null with `error` set when the file cannot be loaded or lacks an export.
  static std::unique_ptr<Library> Load(const std::string& path, std::string& error);
  ~Library();
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;

  CreateDaveModuleFn create_module = nullptr;
  DestroyDaveModuleFn destroy_module = nullptr;
  DaveModuleInfoFn module_info = nullptr;
  DaveModuleNameFn module_name = nullptr;
  CreateAdapterHandlerFn create_adapter_handler = nullptr;
  HasAdapterHandlerFn has_adapter_handler = nullptr;
  KorvelSetSampleRateFn set_sample_rate = nullptr;
  KorvelStateProblemFn state_problem = nullptr;  // optional
  KorvelNonFiniteCountFn non_finite_count = nullptr;
  KorvelNonFiniteCountsFn non_finite_counts = nullptr;
  KorvelWatchOutputsFn watch_outputs = nullptr;
  KorvelFirstOffenceFn first_offence = nullptr;
  KorvelLatencyFramesFn latency_frames = nullptr;
  KorvelSetModuleFolderFn set_module_folder = nullptr;
  KorvelSoundProblemsFn sound_problems = nullptr;
  KorvelTransportFn transport = nullptr;
  KorvelSidechainFn sidechain = nullptr;

 private:
  Library() = default;
  void* handle_ = nullptr;
};

struct PortDeclaration {
  int operation;  // 1 or 2
  std::string port;
  std::int32_t flag;
};

class RecordingPortDeclarer final : public PortDeclarer {
 public:
  std::int32_t DeclareFirstKind(const char* port, std::int32_t flag) override;
  std::int32_t DeclareSecondKind(const char* port, std::int32_t flag) override;
  std::vector<PortDeclaration> declarations;
};

struct PortRegistration {
  std::string port;
  std::int32_t flag;
  PortCallback callback;
};

class RecordingHost final : public HostInterface {
 public:
  std::int32_t RegisterPort(const char* port, std::int32_t flag, PortCallback callback) override;
  // The callback registered for `port`, or null.
  PortCallback Find(const std::string& port) const;
  std::vector<PortRegistration> registrations;
};

// This host's chunk format: the length as four little-endian bytes, then the
// bytes. Reads past the end deliver nothing (the buffer is left as it is).
class MemoryStream final : public HostStream {
 public:
  MemoryStream() = default;
  explicit MemoryStream(std::vector<std::uint8_t> bytes) : bytes(std::move(bytes)) {}
  std::int32_t Read(void* buffer, std::uint32_t count) override;
  std::int32_t ReadLength(std::uint32_t* length) override;
  std::int32_t Write(const void* buffer, std::uint32_t count) override;
  std::int32_t WriteLength(std::uint32_t length) override;

  std::vector<std::uint8_t> bytes;
  std::size_t read_position = 0;
  // Operations in the order the module called them: (slot, byte count).
  std::vector<std::pair<int, std::uint32_t>> calls;
};

// The chunk a module would write for `image`, and the image inside a chunk.
std::vector<std::uint8_t> ChunkOf(const std::string& image);
std::string ImageOf(const std::vector<std::uint8_t>& chunk);

class Module {
 public:
  // Null when the plug-in answers no module.
  static std::unique_ptr<Module> Create(Library& library);
  ~Module();  // DestroyDaveModule
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  ModuleBase* object() const { return object_; }

  // Operation `slot` of the module's table, called with the module first.
  template <class Result, class... Args>
  Result Call(int slot, Args... args) const {
    using Operation = Result(KORVEL_THISCALL*)(void*, Args...);
    void* const* table = *reinterpret_cast<void* const* const*>(object_);
    return reinterpret_cast<Operation>(table[slot])(object_, args...);
  }

  // Operation 1 with this module's own RecordingHost.
  void Init();
  RecordingHost& host() { return host_; }

  // Operation 3: the stream as the module left it.
  MemoryStream SaveState();
  // Operation 2 with a stream holding `chunk`; answers the stream afterwards.
  MemoryStream RestoreState(const std::vector<std::uint8_t>& chunk);
  std::string SaveImage();
  void RestoreImage(const std::string& image);
  // Why the last RestoreState was refused, or empty.
  std::string StateProblem() const;
  // The folder relative sound paths in the next restored state are read
  // against.
  void SetModuleFolder(const std::string& folder);
  // The sound files the module could not load, a line each.
  std::vector<std::string> SoundProblems() const;

  std::string ParameterName(std::int32_t index, std::int32_t* answer = nullptr);
  std::string ParameterDisplay(std::int32_t index, std::int32_t* answer = nullptr);
  double ParameterValue(std::int32_t index);
  std::int32_t SetParameterValue(std::int32_t index, double value);
  // The plug-in's sample-rate extension; false when refused.
  bool SetSampleRate(double rate);

  // The registered port callbacks (after Init).
  std::int32_t Audio(float* interleaved, std::uint32_t frames);
  std::int32_t Notes(void* record);
  std::int32_t Automation(AutomationEventList* events);
  // Output values the module replaced by 0.0 because they were not finite.
  std::uint64_t NonFiniteCount() const;
  // The same for channel 0, channel 1, and frames where either was.
  std::array<std::uint64_t, 3> NonFiniteCounts() const;
  // Watches every component's output for a value that is not finite or
  // beyond ±limit (engine scale); the first found is kept.
  void WatchOutputs(double limit);
  bool FirstOffence(int& slot, std::uint64_t& frame, double& value) const;
  std::uint32_t LatencyFrames() const;
  // The song's tempo and position at a frame of the next Audio call.
  bool Transport(const TransportRecord& record);
  // The sidechain of the next Audio call (interleaved stereo, engine scale).
  void Sidechain(const float* interleaved, std::uint32_t frames);

 private:
  Module(Library& library, ModuleBase* object) : library_(library), object_(object) {}
  std::int32_t CallPort(const char* port, void* record);

  Library& library_;
  ModuleBase* object_;
  RecordingHost host_;
};

}  // namespace korvel::pluginhost
