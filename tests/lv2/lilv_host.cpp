#include "tests/lv2/lilv_host.h"

#include <lv2/atom/util.h>
#include <lv2/midi/midi.h>
#include <lv2/patch/patch.h>
#include <lv2/presets/presets.h>
#include <lv2/state/state.h>
#include <lv2/time/time.h>

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <utility>
#include <cstdio>
#include <cstring>

#include "host/lv2/lv2_names.h"

namespace korvel::lv2test {

UridMap::UridMap() {
  map_.handle = this;
  map_.map = [](LV2_URID_Map_Handle self, const char* uri) { return static_cast<UridMap*>(self)->Map(uri); };
  unmap_.handle = this;
  unmap_.unmap = [](LV2_URID_Unmap_Handle self, LV2_URID urid) {
    return static_cast<UridMap*>(self)->Unmap(urid);
  };
}

LV2_URID UridMap::Map(const char* uri) {
  for (std::size_t i = 0; i < uris_.size(); ++i)
    if (uris_[i] == uri) return static_cast<LV2_URID>(i + 1);
  uris_.emplace_back(uri);
  return static_cast<LV2_URID>(uris_.size());
}

const char* UridMap::Unmap(LV2_URID urid) const {
  return urid >= 1 && urid <= uris_.size() ? uris_[urid - 1].c_str() : nullptr;
}

World::World(const char* plugin_uri) : world_(lilv_world_new()) {
  lilv_world_load_all(world_);  // LV2_PATH
  LilvNode* uri = lilv_new_uri(world_, plugin_uri);
  plugin_ = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world_), uri);
  lilv_node_free(uri);
}

World::~World() { lilv_world_free(world_); }

std::vector<std::string> World::Presets() {
  std::vector<std::string> uris;
  if (plugin_ == nullptr) return uris;
  LilvNode* preset_class = lilv_new_uri(world_, LV2_PRESETS__Preset);
  LilvNodes* presets = lilv_plugin_get_related(plugin_, preset_class);
  LILV_FOREACH(nodes, i, presets) {
    const LilvNode* preset = lilv_nodes_get(presets, i);
    lilv_world_load_resource(world_, preset);
    uris.emplace_back(lilv_node_as_uri(preset));
  }
  lilv_nodes_free(presets);
  lilv_node_free(preset_class);
  std::sort(uris.begin(), uris.end());
  return uris;
}

LilvState* World::PresetState(const std::string& uri) {
  LilvNode* node = lilv_new_uri(world_, uri.c_str());
  lilv_world_load_resource(world_, node);
  LilvState* state = lilv_state_new_from_world(world_, urids_.map(), node);
  lilv_node_free(node);
  return state;
}

LilvState* World::StateFromTurtle(const std::string& turtle) {
  return lilv_state_new_from_string(world_, urids_.map(), turtle.c_str());
}

Instance::Instance(World& world, double rate, bool offer_worker, bool null_feature) : world_(world) {
  std::fill(std::begin(controls_), std::end(controls_), 0.5f);
  UridMap& urids = world.urids();
  log_feature_data_ = {this, &LogPrintf, &LogVprintf};
  schedule_data_ = {this, &Schedule};
  map_feature_ = {LV2_URID__map, urids.map()};
  unmap_feature_ = {LV2_URID__unmap, urids.unmap()};
  log_feature_ = {LV2_LOG__log, &log_feature_data_};
  schedule_feature_ = {LV2_WORKER__schedule, &schedule_data_};
  features_ = {&map_feature_, &unmap_feature_, &log_feature_};
  if (null_feature) features_.insert(features_.begin(), &null_feature_);
  if (offer_worker) features_.push_back(&schedule_feature_);
  features_.push_back(nullptr);

  for (auto* buffers : {in_, out_, side_})
    for (int c = 0; c < 2; ++c) buffers[c].assign(kMaxFrames, 0.0f);
  work_.reserve(std::size_t{1} << 20);
  control_buffer_.assign(kAtomCapacity / 8, 0);
  notify_buffer_.assign(kAtomCapacity / 8, 0);
  lv2_atom_forge_init(&forge_, urids.map());
  StartSequence();

  if (world.plugin() == nullptr) return;
  instance_ = lilv_plugin_instantiate(world.plugin(), rate, features_.data());
  if (instance_ == nullptr) return;
  worker_ = static_cast<const LV2_Worker_Interface*>(lilv_instance_get_extension_data(instance_, LV2_WORKER__interface));
  lilv_instance_connect_port(instance_, lv2::kInputLeft, in_[0].data());
  lilv_instance_connect_port(instance_, lv2::kInputRight, in_[1].data());
  lilv_instance_connect_port(instance_, lv2::kOutputLeft, out_[0].data());
  lilv_instance_connect_port(instance_, lv2::kOutputRight, out_[1].data());
  for (int p = 0; p < lv2::kParameterPortCount; ++p)
    lilv_instance_connect_port(instance_, lv2::kFirstParameter + p, &controls_[p]);
  lilv_instance_connect_port(instance_, lv2::kMidiIn, control_buffer_.data());
  lilv_instance_connect_port(instance_, lv2::kNotify, notify_buffer_.data());
  lilv_instance_connect_port(instance_, lv2::kSidechainLeft, nullptr);
  lilv_instance_connect_port(instance_, lv2::kSidechainRight, nullptr);
  lilv_instance_connect_port(instance_, lv2::kLatency, &latency_);
  lilv_instance_activate(instance_);
}

Instance::~Instance() {
  if (instance_ == nullptr) return;
  lilv_instance_deactivate(instance_);
  lilv_instance_free(instance_);
}

void Instance::StartSequence() {
  lv2_atom_forge_set_buffer(&forge_, reinterpret_cast<std::uint8_t*>(control_buffer_.data()), kAtomCapacity);
  lv2_atom_forge_sequence_head(&forge_, &sequence_frame_, 0);
}

void Instance::SendMidi(std::uint32_t frame, std::uint8_t status, std::uint8_t note, std::uint8_t velocity) {
  const std::uint8_t bytes[3] = {status, note, velocity};
  lv2_atom_forge_frame_time(&forge_, frame);
  lv2_atom_forge_atom(&forge_, 3, world_.urids().Map(LV2_MIDI__MidiEvent));
  lv2_atom_forge_write(&forge_, bytes, 3);
}

void Instance::SendModuleFile(const std::string& path) {
  UridMap& urids = world_.urids();
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_object(&forge_, &frame, 0, urids.Map(LV2_PATCH__Set));
  lv2_atom_forge_key(&forge_, urids.Map(LV2_PATCH__property));
  lv2_atom_forge_urid(&forge_, urids.Map(lv2::kModuleFileUri));
  lv2_atom_forge_key(&forge_, urids.Map(LV2_PATCH__value));
  lv2_atom_forge_path(&forge_, path.c_str(), static_cast<std::uint32_t>(path.size()));
  lv2_atom_forge_pop(&forge_, &frame);
}

void Instance::SendGetModuleFile() {
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_object(&forge_, &frame, 0, world_.urids().Map(LV2_PATCH__Get));
  lv2_atom_forge_pop(&forge_, &frame);
}

void Instance::SendGetModule() {
  UridMap& urids = world_.urids();
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_object(&forge_, &frame, 0, urids.Map(LV2_PATCH__Get));
  lv2_atom_forge_key(&forge_, urids.Map(LV2_PATCH__property));
  lv2_atom_forge_urid(&forge_, urids.Map(lv2::kModuleUri));
  lv2_atom_forge_pop(&forge_, &frame);
}

void Instance::SendModulePiece(const std::string& bytes, std::int64_t offset, std::int64_t total) {
  UridMap& urids = world_.urids();
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_object(&forge_, &frame, 0, urids.Map(LV2_PATCH__Set));
  lv2_atom_forge_key(&forge_, urids.Map(LV2_PATCH__property));
  lv2_atom_forge_urid(&forge_, urids.Map(lv2::kModuleUri));
  lv2_atom_forge_key(&forge_, urids.Map(LV2_PATCH__value));
  lv2_atom_forge_string(&forge_, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
  if (offset >= 0) {
    lv2_atom_forge_key(&forge_, urids.Map(lv2::kPieceOffsetUri));
    lv2_atom_forge_long(&forge_, offset);
    lv2_atom_forge_key(&forge_, urids.Map(lv2::kPieceTotalUri));
    lv2_atom_forge_long(&forge_, total);
  }
  lv2_atom_forge_pop(&forge_, &frame);
}

void Instance::SendAtom(const LV2_Atom* atom) {
  lv2_atom_forge_frame_time(&forge_, 0);
  lv2_atom_forge_write(&forge_, atom, lv2_atom_total_size(atom));
}

void Instance::SendModule(const std::string& text, std::size_t piece) {
  if (piece == 0) {
    SendModulePiece(text, -1, -1);
    return;
  }
  for (std::size_t at = 0; at < text.size(); at += piece)
    SendModulePiece(text.substr(at, piece), static_cast<std::int64_t>(at), static_cast<std::int64_t>(text.size()));
}

void Instance::SendPosition(std::uint32_t frame, const Position& p) {
  UridMap& urids = world_.urids();
  LV2_Atom_Forge_Frame object;
  lv2_atom_forge_frame_time(&forge_, frame);
  lv2_atom_forge_object(&forge_, &object, 0, urids.Map(LV2_TIME__Position));
  // Hosts choose the types; a mixture of them is read the same.
  if (!std::isnan(p.bar)) {
    lv2_atom_forge_key(&forge_, urids.Map(LV2_TIME__bar));
    lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(p.bar));
  }
  const std::pair<const char*, double> floats[] = {{LV2_TIME__barBeat, p.bar_beat},
                                                   {LV2_TIME__beatsPerBar, p.beats_per_bar},
                                                   {LV2_TIME__beatsPerMinute, p.beats_per_minute}};
  for (const auto& [key, value] : floats) {
    if (std::isnan(value)) continue;
    lv2_atom_forge_key(&forge_, urids.Map(key));
    lv2_atom_forge_float(&forge_, static_cast<float>(value));
  }
  if (!std::isnan(p.beat_unit)) {
    lv2_atom_forge_key(&forge_, urids.Map(LV2_TIME__beatUnit));
    lv2_atom_forge_int(&forge_, static_cast<std::int32_t>(p.beat_unit));
  }
  if (!std::isnan(p.speed)) {
    lv2_atom_forge_key(&forge_, urids.Map(LV2_TIME__speed));
    lv2_atom_forge_double(&forge_, p.speed);
  }
  lv2_atom_forge_pop(&forge_, &object);
}

void Instance::SetSidechain(const float* left, const float* right) {
  side_source_[0] = left;
  side_source_[1] = right;
  const bool connect = left != nullptr || right != nullptr;
  if (connect == side_connected_) return;
  side_connected_ = connect;
  lilv_instance_connect_port(instance_, lv2::kSidechainLeft, connect ? side_[0].data() : nullptr);
  lilv_instance_connect_port(instance_, lv2::kSidechainRight, connect ? side_[1].data() : nullptr);
}

void Instance::Run(const float* left, const float* right, std::uint32_t frames) {
  RunPluginOnly(left, right, frames);
  ReadNotify();
  DoWork();
}

void Instance::RunPluginOnly(const float* left, const float* right, std::uint32_t frames) {
  frames = std::min(frames, kMaxFrames);
  std::copy(left, left + frames, in_[0].begin());
  std::copy(right, right + frames, in_[1].begin());
  for (int c = 0; c < 2; ++c) {
    if (side_source_[c] != nullptr) std::copy(side_source_[c], side_source_[c] + frames, side_[c].begin());
    if (side_source_[c] != nullptr) side_source_[c] += frames;  // the next run reads on
  }
  // An output sequence's size is its capacity until the plug-in writes it.
  auto* notify = reinterpret_cast<LV2_Atom*>(notify_buffer_.data());
  notify->size = std::min(notify_capacity_, kAtomCapacity) - static_cast<std::uint32_t>(sizeof(LV2_Atom));
  notify->type = world_.urids().Map(LV2_ATOM__Chunk);

  lilv_instance_run(instance_, frames);
  StartSequence();
}

void Instance::DoWork() {
  // The worker: requests made during run(), then their responses.
  std::vector<std::uint8_t> work;
  std::vector<std::vector<std::uint8_t>> responses;
  {
    std::lock_guard lock(work_mutex_);
    work.assign(work_.begin(), work_.end());
    work_.clear();  // keeps its capacity
  }
  for (std::size_t at = 0; at + sizeof(std::uint32_t) <= work.size();) {
    std::uint32_t size = 0;
    std::memcpy(&size, &work[at], sizeof size);
    at += sizeof size;
    worker_->work(lilv_instance_get_handle(instance_), &Respond, this, size, &work[at]);
    at += size;
  }
  {
    std::lock_guard lock(work_mutex_);
    responses.swap(responses_);
  }
  for (const auto& response : responses)
    worker_->work_response(lilv_instance_get_handle(instance_), static_cast<std::uint32_t>(response.size()),
                           response.data());
}

void Instance::WorkOnThisThread(const std::string& path) {
  const std::string request = lv2::kWorkLoadFile + path;
  worker_->work(lilv_instance_get_handle(instance_), &Respond, this, static_cast<std::uint32_t>(request.size() + 1),
                request.c_str());
}

void Instance::Render(const std::vector<float>& left, const std::vector<float>& right, std::uint32_t block,
                      std::vector<float>& out_left, std::vector<float>& out_right) {
  out_left.resize(left.size());
  out_right.resize(right.size());
  for (std::size_t done = 0; done < left.size();) {
    const auto n = static_cast<std::uint32_t>(std::min<std::size_t>(block, left.size() - done));
    Run(&left[done], &right[done], n);
    std::copy(out_[0].begin(), out_[0].begin() + n, out_left.begin() + static_cast<std::ptrdiff_t>(done));
    std::copy(out_[1].begin(), out_[1].begin() + n, out_right.begin() + static_cast<std::ptrdiff_t>(done));
    done += n;
  }
}

void Instance::ReadNotify() {
  UridMap& urids = world_.urids();
  const auto* sequence = reinterpret_cast<const LV2_Atom_Sequence*>(notify_buffer_.data());
  if (sequence->atom.type != urids.Map(LV2_ATOM__Sequence)) return;
  LV2_ATOM_SEQUENCE_FOREACH(sequence, event) {
    if (on_notify) on_notify(&event->body);
    if (event->body.type != urids.Map(LV2_ATOM__Object)) continue;
    const auto* object = reinterpret_cast<const LV2_Atom_Object*>(&event->body);
    if (object->body.otype != urids.Map(LV2_PATCH__Set)) continue;
    const LV2_Atom* value = nullptr;
    const LV2_Atom* property = nullptr;
    lv2_atom_object_get(object, urids.Map(LV2_PATCH__value), &value, urids.Map(LV2_PATCH__property), &property, 0);
    if (value != nullptr && value->type == urids.Map(LV2_ATOM__String) && property != nullptr &&
        property->type == urids.Map(LV2_ATOM__URID)) {
      const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
      const std::string text(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)), value->size - 1);
      if (key == urids.Map(lv2::kStatusUri)) statuses_.push_back(text);
      if (key == urids.Map(lv2::kModuleUri)) ReadModulePiece(object, value);
    }
    if (value != nullptr && value->type == urids.Map(LV2_ATOM__Path)) {
      reported_file_ = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
      ++reports_;
    }
  }
}

// Joined as a UI joins them: a piece at 0 starts a module, each next one
// goes on where the text ends; the module is whole at its total.
void Instance::ReadModulePiece(const LV2_Atom_Object* object, const LV2_Atom* value) {
  UridMap& urids = world_.urids();
  const LV2_Atom *offset = nullptr, *total = nullptr;
  lv2_atom_object_get(object, urids.Map(lv2::kPieceOffsetUri), &offset, urids.Map(lv2::kPieceTotalUri), &total, 0);
  const std::string text(static_cast<const char*>(LV2_ATOM_BODY_CONST(value)), value->size - 1);
  if (offset == nullptr || total == nullptr || offset->type != urids.Map(LV2_ATOM__Long) ||
      total->type != urids.Map(LV2_ATOM__Long)) {
    ++broken_pieces_;  // the plug-in always gives both
    return;
  }
  const auto at = static_cast<std::size_t>(reinterpret_cast<const LV2_Atom_Long*>(offset)->body);
  const auto whole = static_cast<std::size_t>(reinterpret_cast<const LV2_Atom_Long*>(total)->body);
  if (at == 0) {
    if (!pieces_.empty()) ++broken_pieces_;  // a module left half sent
    joining_.clear();
    pieces_.clear();
  } else if (at != joining_.size()) {
    ++broken_pieces_;
    return;
  }
  joining_ += text;
  pieces_.push_back(text);
  if (joining_.size() == whole) {
    modules_.push_back(joining_);
    last_pieces_ = pieces_;
    joining_.clear();
    pieces_.clear();
  }
}

LV2_Worker_Status Instance::Schedule(LV2_Worker_Schedule_Handle handle, std::uint32_t size, const void* data) {
  auto* bytes = static_cast<const std::uint8_t*>(data);
  auto* self = static_cast<Instance*>(handle);
  std::lock_guard lock(self->work_mutex_);
  if (self->work_.size() + sizeof size + size > self->work_.capacity()) return LV2_WORKER_ERR_NO_SPACE;
  const auto* length = reinterpret_cast<const std::uint8_t*>(&size);
  self->work_.insert(self->work_.end(), length, length + sizeof size);
  self->work_.insert(self->work_.end(), bytes, bytes + size);
  return LV2_WORKER_SUCCESS;
}

LV2_Worker_Status Instance::Respond(LV2_Worker_Respond_Handle handle, std::uint32_t size, const void* data) {
  auto* bytes = static_cast<const std::uint8_t*>(data);
  auto* self = static_cast<Instance*>(handle);
  std::lock_guard lock(self->work_mutex_);
  self->responses_.emplace_back(bytes, bytes + size);
  return LV2_WORKER_SUCCESS;
}

int Instance::LogPrintf(LV2_Log_Handle handle, LV2_URID type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = LogVprintf(handle, type, format, args);
  va_end(args);
  return written;
}

int Instance::LogVprintf(LV2_Log_Handle handle, LV2_URID, const char* format, va_list args) {
  char line[4096];
  const int written = std::vsnprintf(line, sizeof line, format, args);
  static_cast<Instance*>(handle)->log_.emplace_back(line);
  return written;
}

const void* Instance::GetValue(const char* symbol, void* self, std::uint32_t* size, std::uint32_t* type) {
  auto* instance = static_cast<Instance*>(self);
  int index = 0;
  if (std::sscanf(symbol, "param%d", &index) != 1 || index < 1 || index > lv2::kParameterPortCount) return nullptr;
  *size = sizeof(float);
  *type = instance->world_.urids().Map(LV2_ATOM__Float);
  return &instance->controls_[index - 1];
}

void Instance::SetValue(const char* symbol, void* self, const void* value, std::uint32_t size, std::uint32_t type) {
  auto* instance = static_cast<Instance*>(self);
  int index = 0;
  if (std::sscanf(symbol, "param%d", &index) != 1 || index < 1 || index > lv2::kParameterPortCount) return;
  if (type == instance->world_.urids().Map(LV2_ATOM__Float) && size == sizeof(float))
    std::memcpy(&instance->controls_[index - 1], value, sizeof(float));
}

LilvState* Instance::Save() {
  return lilv_state_new_from_instance(world_.plugin(), instance_, world_.urids().map(), nullptr, nullptr, nullptr,
                                      nullptr, &GetValue, this, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
                                      features_.data());
}

std::string Instance::SavedModuleImage() {
  const auto* state = static_cast<const LV2_State_Interface*>(lilv_instance_get_extension_data(instance_, LV2_STATE__interface));
  struct Found {
    LV2_URID key;
    std::string image;
  } found{world_.urids().Map(lv2::kModuleImageUri), {}};
  const auto store = [](LV2_State_Handle handle, std::uint32_t key, const void* value, std::size_t size, std::uint32_t,
                        std::uint32_t) -> LV2_State_Status {
    auto* f = static_cast<Found*>(handle);
    if (key == f->key) f->image.assign(static_cast<const char*>(value), strnlen(static_cast<const char*>(value), size));
    return LV2_STATE_SUCCESS;
  };
  state->save(lilv_instance_get_handle(instance_), store, &found, LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE,
              features_.data());
  return found.image;
}

LilvState* Instance::SaveInto(const std::string& dir) {
  return lilv_state_new_from_instance(world_.plugin(), instance_, world_.urids().map(), nullptr, dir.c_str(),
                                      dir.c_str(), dir.c_str(), &GetValue, this,
                                      LV2_STATE_IS_POD | LV2_STATE_IS_PORTABLE, features_.data());
}

void Instance::Restore(const LilvState* state) {
  lilv_state_restore(state, instance_, &SetValue, this, 0, features_.data());
}

std::string TurtleEscaped(const std::string& text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

std::string StateTurtle(const std::string& value) {
  return std::string("@prefix lv2: <http://lv2plug.in/ns/lv2core#> .\n"
                     "@prefix pset: <http://lv2plug.in/ns/ext/presets#> .\n"
                     "@prefix state: <http://lv2plug.in/ns/ext/state#> .\n"
                     "<urn:korvel:test:state> a pset:Preset ;\n"
                     "  lv2:appliesTo <") +
         lv2::kPluginUri + "> ;\n  state:state [ <" + lv2::kModuleImageUri + "> " + value + " ] .\n";
}

}  // namespace korvel::lv2test
