// A small LV2 host on liblilv, the library real Linux hosts use: finds
// plug-ins through LV2_PATH, offers urid:map, log:log and a worker, feeds
// the MIDI/patch port (MIDI, song positions, patch messages) and the
// sidechain, runs the plug-in and saves and restores its state through
// lilv's state API.
#pragma once

#include <lilv/lilv.h>
#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/log/log.h>
#include <lv2/urid/urid.h>
#include <lv2/worker/worker.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace korvel::lv2test {

class UridMap {
 public:
  UridMap();
  LV2_URID Map(const char* uri);
  const char* Unmap(LV2_URID urid) const;
  LV2_URID_Map* map() { return &map_; }
  LV2_URID_Unmap* unmap() { return &unmap_; }

 private:
  std::vector<std::string> uris_;
  LV2_URID_Map map_;
  LV2_URID_Unmap unmap_;
};

// The lilv world, loaded once from LV2_PATH, and the plug-in under test.
class World {
 public:
  explicit World(const char* plugin_uri);
  ~World();
  World(const World&) = delete;
  World& operator=(const World&) = delete;

  LilvWorld* world() const { return world_; }
  const LilvPlugin* plugin() const { return plugin_; }  // null when not found
  UridMap& urids() { return urids_; }
  // Preset URIs the plug-in's bundle lists, each loaded.
  std::vector<std::string> Presets();
  // A state from the world (a preset) or from Turtle text; null on failure.
  LilvState* PresetState(const std::string& uri);
  LilvState* StateFromTurtle(const std::string& turtle);

 private:
  LilvWorld* world_;
  const LilvPlugin* plugin_ = nullptr;
  UridMap urids_;
};

class Instance {
 public:
  static constexpr std::uint32_t kMaxFrames = 8192;
  // Room for a piece larger than the plug-in takes.
  static constexpr std::uint32_t kAtomCapacity = 131072;

  // Null inside when lilv cannot instantiate; check ok(). With
  // `null_feature`, the features begin with one whose URI is null, as some
  // hosts pass.
  Instance(World& world, double rate, bool offer_worker = true, bool null_feature = false);
  ~Instance();
  Instance(const Instance&) = delete;
  Instance& operator=(const Instance&) = delete;

  bool ok() const { return instance_ != nullptr; }

  // Control port values by parameter index 0..24 (the host's side).
  float& parameter(int index) { return controls_[index]; }

  // Queued for the next Run.
  void SendMidi(std::uint32_t frame, std::uint8_t status, std::uint8_t note, std::uint8_t velocity);
  void SendModuleFile(const std::string& path);
  void SendGetModuleFile();
  // The module property, as a UI sends it: patch:Get; patch:Set of the
  // whole text (`piece` 0) or in pieces of `piece` bytes with their offset
  // and total; one piece as given, for pieces out of order.
  void SendGetModule();
  void SendModule(const std::string& text, std::size_t piece = 0);
  void SendModulePiece(const std::string& bytes, std::int64_t offset, std::int64_t total);
  // An event a UI wrote (atom:eventTransfer), queued as it came.
  void SendAtom(const LV2_Atom* atom);
  // Each event the plug-in writes on the notify port, as a host hands it to
  // a UI; called after every run.
  std::function<void(const LV2_Atom*)> on_notify;
  // A time:Position with the fields given (NaN: left out), in the host's
  // beat unit.
  struct Position {
    double bar = NAN, bar_beat = NAN, beat_unit = NAN, beats_per_bar = NAN, beats_per_minute = NAN, speed = NAN;
  };
  void SendPosition(std::uint32_t frame, const Position& position);
  // The sidechain the next runs read, from these pointers on, run after run
  // (both null: its ports are left unconnected).
  void SetSidechain(const float* left, const float* right);

  // Runs `frames` (at most kMaxFrames) of stereo audio, then does the
  // queued work on this thread as a worker would and hands the responses
  // back before returning. `left`/`right` in, results in out_left/right.
  void Run(const float* left, const float* right, std::uint32_t frames);
  // The parts of Run, for tests that watch the plug-in's run() alone.
  void RunPluginOnly(const float* left, const float* right, std::uint32_t frames);
  void ReadNotify();
  void DoWork();
  // The notify buffer's capacity the plug-in is given (bytes, with the
  // sequence header), from the next run on.
  void set_notify_capacity(std::uint32_t bytes) { notify_capacity_ = bytes; }
  // Runs a whole signal in blocks of `block` frames.
  void Render(const std::vector<float>& left, const std::vector<float>& right, std::uint32_t block,
              std::vector<float>& out_left, std::vector<float>& out_right);

  const std::vector<float>& out_left() const { return out_[0]; }
  const std::vector<float>& out_right() const { return out_[1]; }
  // The module file the last patch:Set on the notify port named ("" if none),
  // and how many such reports came.
  const std::string& reported_file() const { return reported_file_; }
  int reports() const { return reports_; }
  // The latency output port's value after the last run.
  float latency() const { return latency_; }
  // Module texts that came whole on the notify port (joined from their
  // pieces), and the pieces the last one came in; status texts; pieces
  // that did not join (a gap or a restart midway).
  const std::vector<std::string>& modules() const { return modules_; }
  const std::vector<std::string>& last_pieces() const { return last_pieces_; }
  const std::vector<std::string>& statuses() const { return statuses_; }
  int broken_pieces() const { return broken_pieces_; }
  // Log lines the plug-in wrote.
  std::vector<std::string>& log() { return log_; }

  // Loads `path` through the plug-in's worker interface on the calling
  // thread, as a host's worker thread would while the audio runs; the
  // response reaches the plug-in at the next Run.
  void WorkOnThisThread(const std::string& path);

  LilvState* Save();
  // The module image the plug-in's state save stores, read straight from
  // its store call.
  std::string SavedModuleImage();
  // Saved as a host saves into a session folder `dir`: lilv's state:mapPath
  // stores paths of files there relative to it.
  LilvState* SaveInto(const std::string& dir);
  void Restore(const LilvState* state);

 private:
  static LV2_Worker_Status Schedule(LV2_Worker_Schedule_Handle handle, std::uint32_t size, const void* data);
  static LV2_Worker_Status Respond(LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data);
  static int LogPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...);
  static int LogVprintf(LV2_Log_Handle handle, LV2_URID type, const char* format, va_list args);
  static const void* GetValue(const char* symbol, void* self, std::uint32_t* size, std::uint32_t* type);
  static void SetValue(const char* symbol, void* self, const void* value, std::uint32_t size, std::uint32_t type);
  void StartSequence();
  void ReadModulePiece(const LV2_Atom_Object* object, const LV2_Atom* value);

  World& world_;
  LilvInstance* instance_ = nullptr;
  const LV2_Worker_Interface* worker_ = nullptr;

  LV2_Log_Log log_feature_data_;
  LV2_Worker_Schedule schedule_data_;
  LV2_Feature map_feature_, unmap_feature_, log_feature_, schedule_feature_;
  std::vector<const LV2_Feature*> features_;

  std::vector<float> in_[2], out_[2], side_[2];
  const float* side_source_[2] = {};
  bool side_connected_ = false;
  float latency_ = -1.0f;
  int reports_ = 0;
  LV2_Feature null_feature_ = {nullptr, nullptr};
  float controls_[25];
  std::vector<std::uint64_t> control_buffer_, notify_buffer_;  // 8-byte aligned atoms
  LV2_Atom_Forge forge_;
  LV2_Atom_Forge_Frame sequence_frame_;
  std::mutex work_mutex_;  // work_ and responses_, between worker and audio
  // Requests as a real host keeps them, in a ring made before the audio
  // runs: each a 32-bit size and its bytes, so scheduling allocates nothing.
  std::vector<std::uint8_t> work_;
  std::vector<std::vector<std::uint8_t>> responses_;
  std::vector<std::string> log_;
  std::string reported_file_;
  std::uint32_t notify_capacity_ = kAtomCapacity;
  std::string joining_;
  std::vector<std::string> pieces_, last_pieces_, modules_, statuses_;
  int broken_pieces_ = 0;
};

// A text as the inside of a Turtle string literal.
std::string TurtleEscaped(const std::string& text);
// A preset for the plug-in whose state holds `value`, a Turtle object,
// under the module image key: a saved state as a host keeps it.
std::string StateTurtle(const std::string& value);

}  // namespace korvel::lv2test
