// The plug-in's X11 UI: the Linux editor window over a private engine that
// never runs audio, talking to the plug-in only through patch messages on
// its ports. On opening it asks for the module (patch:Get); the module
// comes back on the notify port in pieces, which are joined and shown;
// after each edit the whole module goes back as patch:Set pieces on the
// control port, and the plug-in loads it on its worker, so the edit is
// heard from its next block. A refusal from the plug-in shows in the
// status line.
//
// The host drives everything through ui:idleInterface: idle() handles the
// X events waiting and returns at once, so hosts with their own X11 loop
// and hosts without one work alike; the UI keeps its own Display
// connection and never waits on the host.
//
// Threads: every function here is [UI thread], the host's thread that
// calls instantiate, port_event, idle and cleanup.
#include "host/lv2/korvel_lv2_ui.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include <lv2/atom/atom.h>
#include <lv2/atom/forge.h>
#include <lv2/atom/util.h>
#include <lv2/core/lv2.h>
#include <lv2/patch/patch.h>
#include <lv2/ui/ui.h>
#include <lv2/urid/urid.h>

#include <nlohmann/json.hpp>

#include "editor/core/layout.h"
#include "editor/x11/editor_window.h"
#include "editor/x11/x11_ui.h"
#include "engine/module_image.h"
#include "engine/patch_engine.h"
#include "engine/ui.h"
#include "host/lv2/lv2_names.h"

// Xlib last: its macros must not reach the engine's headers.
#include <X11/Xlib.h>

namespace korvel::lv2 {
namespace {

// The module view as wide as `korvel edit`'s, with the parameter strip beside it.
constexpr int kDefaultWidth = 900 + x11_editor::kStripWidth, kDefaultHeight = 600;
// Room an event of one piece needs beside its text (object, keys, longs).
constexpr std::uint32_t kPieceRoom = kPieceBytes + 256;
// Modules sent and not yet echoed back that are still recognised as ours.
constexpr std::size_t kMaxInFlight = 16;
constexpr char kCannotShow[] = "The plug-in's module cannot be shown: ";
constexpr char kNoDisplay[] = "Korvel Modular UI: cannot open the X display (is DISPLAY set?)\n";
constexpr char kNoMap[] = "Korvel Modular UI: the host offers no URID map (urid:map)\n";

template <class T>
T* FeatureData(const LV2_Feature* const* features, const char* uri) {
  for (int i = 0; features != nullptr && features[i] != nullptr; ++i)
    if (features[i]->URI != nullptr && std::strcmp(features[i]->URI, uri) == 0)
      return static_cast<T*>(features[i]->data);
  return nullptr;
}

// Where a piece of `text` starting at `from` may end: at most kPieceBytes
// on, and never inside a UTF-8 character, so each piece is text too.
std::size_t PieceEnd(const std::string& text, std::size_t from) {
  std::size_t end = std::min<std::size_t>(text.size(), from + kPieceBytes);
  if (end == text.size()) return end;
  std::size_t cut = end;
  while (cut > from && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
  return cut > from ? cut : end;
}

class EditorUi {
 public:
  EditorUi(Display* display, LV2_URID_Map* map, LV2UI_Write_Function write, LV2UI_Controller controller,
     unsigned long parent, LV2UI_Resize* host_resize)
      : display_(display), write_(write), controller_(controller), host_resize_(host_resize) {
    lv2_atom_forge_init(&forge_, map);
    event_transfer_ = map->map(map->handle, LV2_ATOM__eventTransfer);
    atom_object_ = map->map(map->handle, LV2_ATOM__Object);
    atom_blank_ = map->map(map->handle, LV2_ATOM__Blank);
    atom_string_ = map->map(map->handle, LV2_ATOM__String);
    atom_urid_ = map->map(map->handle, LV2_ATOM__URID);
    atom_long_ = map->map(map->handle, LV2_ATOM__Long);
    patch_get_ = map->map(map->handle, LV2_PATCH__Get);
    patch_set_ = map->map(map->handle, LV2_PATCH__Set);
    patch_property_ = map->map(map->handle, LV2_PATCH__property);
    patch_value_ = map->map(map->handle, LV2_PATCH__value);
    module_ = map->map(map->handle, kModuleUri);
    status_ = map->map(map->handle, kStatusUri);
    offset_ = map->map(map->handle, kPieceOffsetUri);
    total_ = map->map(map->handle, kPieceTotalUri);

    engine_ = std::make_unique<PatchEngine>();
    engine_->ResetEngine();
    window_ = std::make_unique<x11_editor::EditorWindow>(display_, *engine_, "Korvel Modular", kDefaultWidth,
                                                         kDefaultHeight, parent);
    // Questions (Delete?) as small boxes on the same display.
    questions_ = std::make_unique<x11_editor::X11Ui>(display_, [this](XEvent& e) { window_->Handle(e); });
    SetUi(questions_.get());
    window_->on_edit = [this] { edited_ = true; };
    // The host's parameters as sliders: a move goes straight to the
    // parameter's control port (the host passes it on as it does its own
    // controls); the host's values come back through port_event.
    window_->ShowParameters(kParameterPortCount);
    window_->on_parameter = [this](int index, float value) {
      write_(controller_, static_cast<std::uint32_t>(kFirstParameter + index), sizeof value, 0, &value);
    };
    // A window of its own (no parent) closed by the user: hidden, and idle()
    // tells the host, which then closes the UI.
    window_->on_close = [this] {
      closed_ = true;
      XUnmapWindow(display_, window_->Handle());
      XSync(display_, False);  // hidden before idle() tells the host, not at some later flush
    };
    window_->SetModuleName("Waiting for the plug-in's module\xE2\x80\xA6");
    if (host_resize_ != nullptr) host_resize_->ui_resize(host_resize_->handle, kDefaultWidth, kDefaultHeight);
    XFlush(display_);
    RequestModule();
  }
  ~EditorUi() {
    if (&korvel::Ui() == questions_.get()) SetUi(nullptr);
    CheckGone();  // then ours is not destroyed again
    window_.reset();
    engine_.reset();
  }
  EditorUi(const EditorUi&) = delete;
  EditorUi& operator=(const EditorUi&) = delete;

  unsigned long WindowId() const { return window_->Handle(); }

  void PortEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer);
  int Idle();
  int Resize(int width, int height) {
    CheckGone();
    if (window_->Handle() == 0) return 1;
    XResizeWindow(display_, window_->Handle(), static_cast<unsigned>(std::max(width, 1)),
                  static_cast<unsigned>(std::max(height, 1)));
    XFlush(display_);
    return 0;
  }

  // For UiInspect.
  std::string Image() const { return WriteModuleImage(*engine_); }
  int Add(int type, int x, int y) {
    const int slot = window_->Core().Add(type, x, y);
    if (slot >= 0) edited_ = true;
    Redraw();
    return slot;
  }
  std::size_t UndoDepth() { return window_->Core().UndoDepth(); }
  std::string StatusLine() const { return window_->StatusText(); }
  float Slider(int index) const { return window_->ParameterValue(index); }

 private:
  // The host may destroy its window, and ours with it, at any time: asked
  // of the server before drawing outside the event loop, since drawing on
  // a window that is gone is an X error, which ends the host.
  void CheckGone() {
    XSync(display_, False);
    XEvent gone;
    if (window_->Handle() != 0 && XCheckTypedWindowEvent(display_, window_->Handle(), DestroyNotify, &gone))
      window_->Handle(gone);
  }
  void Redraw() {
    CheckGone();
    window_->Redraw();
  }
  void RequestModule();
  void SendModule();
  void ReadPiece(const LV2_Atom_Object* object, const std::string& text);
  void Received(const std::string& text);
  static std::int64_t LongOf(const LV2_Atom* atom, std::uint32_t type) {
    return atom != nullptr && atom->type == type ? reinterpret_cast<const LV2_Atom_Long*>(atom)->body : -1;
  }
  // Writes the event the forge holds to the plug-in's control port.
  void Write() {
    const auto* atom = reinterpret_cast<const LV2_Atom*>(buffer_.data());
    write_(controller_, kMidiIn, lv2_atom_total_size(atom), event_transfer_, atom);
  }

  Display* display_;
  LV2UI_Write_Function write_;
  LV2UI_Controller controller_;
  LV2UI_Resize* host_resize_;
  LV2_Atom_Forge forge_ = {};
  std::vector<std::uint8_t> buffer_ = std::vector<std::uint8_t>(kPieceRoom);
  LV2_URID event_transfer_, atom_object_, atom_blank_, atom_string_, atom_urid_, atom_long_;
  LV2_URID patch_get_, patch_set_, patch_property_, patch_value_;
  LV2_URID module_, status_, offset_, total_;

  std::unique_ptr<PatchEngine> engine_;
  std::unique_ptr<x11_editor::EditorWindow> window_;
  std::unique_ptr<x11_editor::X11Ui> questions_;
  bool closed_ = false;
  // An edit since the last idle call: the module goes to the plug-in once
  // per idle call however many edits came, so a burst of them cannot
  // fill the host's ring to the plug-in.
  bool edited_ = false;
  bool redraw_ = false;  // a parameter moved by the host, not drawn yet
  // The module being joined from its pieces; false between modules and
  // after a piece that does not follow on (its module is dropped).
  std::string joining_;
  std::uint64_t joining_total_ = 0;
  bool joining_on_ = false;
  // The module the plug-in is known to hold (last received or sent), and
  // the ones sent whose echo has not come: an echo of an older edit must
  // not take back the newer ones the window shows.
  std::string known_;
  std::deque<std::string> in_flight_;
};

void EditorUi::RequestModule() {
  lv2_atom_forge_set_buffer(&forge_, buffer_.data(), buffer_.size());
  LV2_Atom_Forge_Frame frame;
  lv2_atom_forge_object(&forge_, &frame, 0, patch_get_);
  lv2_atom_forge_key(&forge_, patch_property_);
  lv2_atom_forge_urid(&forge_, module_);
  lv2_atom_forge_pop(&forge_, &frame);
  Write();
}

// The whole module after edits, in pieces with their offset and total,
// which the plug-in joins on its worker; nothing is sent when the edit
// changed nothing (a selection, a refused wire).
void EditorUi::SendModule() {
  // Until the plug-in's module has come, the window holds an empty one,
  // which must never replace the module that plays.
  if (known_.empty()) return;
  std::string text = WriteModuleImage(*engine_);
  if (text == known_) return;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t end = PieceEnd(text, at);
    lv2_atom_forge_set_buffer(&forge_, buffer_.data(), buffer_.size());
    LV2_Atom_Forge_Frame frame;
    lv2_atom_forge_object(&forge_, &frame, 0, patch_set_);
    lv2_atom_forge_key(&forge_, patch_property_);
    lv2_atom_forge_urid(&forge_, module_);
    lv2_atom_forge_key(&forge_, patch_value_);
    lv2_atom_forge_string(&forge_, text.data() + at, static_cast<std::uint32_t>(end - at));
    lv2_atom_forge_key(&forge_, offset_);
    lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(at));
    lv2_atom_forge_key(&forge_, total_);
    lv2_atom_forge_long(&forge_, static_cast<std::int64_t>(text.size()));
    lv2_atom_forge_pop(&forge_, &frame);
    Write();
    at = end;
  }
  in_flight_.push_back(text);
  if (in_flight_.size() > kMaxInFlight) in_flight_.pop_front();
  known_ = std::move(text);
}

void EditorUi::PortEvent(std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer) {
  if (port >= kFirstParameter && port < kFirstParameter + kParameterPortCount) {
    if (format != 0 || size != sizeof(float)) return;
    // Drawn at the next idle call: a host may pass every port at once.
    window_->SetParameterValue(static_cast<int>(port - kFirstParameter), *static_cast<const float*>(buffer));
    redraw_ = true;
    return;
  }
  if (port != kNotify || format != event_transfer_ || size < sizeof(LV2_Atom)) return;
  const auto* atom = static_cast<const LV2_Atom*>(buffer);
  if (atom->type != atom_object_ && atom->type != atom_blank_) return;
  const auto* object = reinterpret_cast<const LV2_Atom_Object*>(atom);
  if (object->body.otype != patch_set_) return;
  const LV2_Atom* property = nullptr;
  const LV2_Atom* value = nullptr;
  lv2_atom_object_get(object, patch_property_, &property, patch_value_, &value, 0);
  if (property == nullptr || property->type != atom_urid_ || value == nullptr || value->type != atom_string_) return;
  const LV2_URID key = reinterpret_cast<const LV2_Atom_URID*>(property)->body;
  const auto* bytes = static_cast<const char*>(LV2_ATOM_BODY_CONST(value));
  const std::string text(bytes, value->size > 0 && bytes[value->size - 1] == '\0' ? value->size - 1 : value->size);
  if (key == status_) {
    window_->SetNotice(text);
    Redraw();
  } else if (key == module_) {
    ReadPiece(object, text);
  }
}

// A piece at offset 0 starts a module (dropping one half joined); each next
// one must start where the text so far ends; the module is whole at its
// total. A Set without offset and total is the whole module.
void EditorUi::ReadPiece(const LV2_Atom_Object* object, const std::string& text) {
  const LV2_Atom* offset_atom = nullptr;
  const LV2_Atom* total_atom = nullptr;
  lv2_atom_object_get(object, offset_, &offset_atom, total_, &total_atom, 0);
  if (offset_atom == nullptr && total_atom == nullptr) {
    joining_on_ = false;
    Received(text);
    return;
  }
  const std::int64_t offset = LongOf(offset_atom, atom_long_), total = LongOf(total_atom, atom_long_);
  if (offset == 0 && total >= 0 && static_cast<std::uint64_t>(total) <= kMaxModuleImageSize) {
    joining_.clear();
    joining_total_ = static_cast<std::uint64_t>(total);
    joining_on_ = true;
  } else if (!joining_on_ || offset != static_cast<std::int64_t>(joining_.size()) ||
             static_cast<std::uint64_t>(total) != joining_total_) {
    joining_on_ = false;
    return;
  }
  if (joining_.size() + text.size() > joining_total_) {
    joining_on_ = false;
    return;
  }
  joining_ += text;
  if (joining_.size() == joining_total_) {
    joining_on_ = false;
    Received(joining_);
    joining_.clear();
  }
}

// A whole module from the plug-in: the answer to the Get, a preset or a
// project restored, a module file loaded, or the echo of an edit sent
// from here (shown already, so the history stays).
void EditorUi::Received(const std::string& text) {
  // A module that arrives is one the plug-in took: a refusal shown before
  // is over.
  window_->SetNotice(std::string());
  const auto mine = std::find(in_flight_.begin(), in_flight_.end(), text);
  if (mine != in_flight_.end()) {
    // Echoes come in order: the older sends are answered too.
    in_flight_.erase(in_flight_.begin(), mine + 1);
    Redraw();
    return;
  }
  known_ = text;
  in_flight_.clear();
  if (text == WriteModuleImage(*engine_)) return;
  std::string error;
  if (!RestoreModuleImage(*engine_, text, error)) {
    window_->SetNotice(kCannotShow + error);
    Redraw();
    return;
  }
  // Positions are the window's own: a module without them is laid out
  // here, and goes back to the plug-in with the next edit.
  editor_core::LayOutIfUnplaced(*engine_);
  window_->Core().Forget();
  window_->CloseForm();  // its rows were another module's component
  window_->Core().ClearSelection();  // the boxes selected were another module's
  const nlohmann::json image = nlohmann::json::parse(text, nullptr, false);
  std::string name = image.is_object() ? image.value("name", std::string()) : std::string();
  window_->SetModuleName(name.empty() ? "(unnamed module)" : name);
  Redraw();
}

int EditorUi::Idle() {
  CheckGone();
  while (XPending(display_) > 0) {
    XEvent event;
    XNextEvent(display_, &event);
    window_->Handle(event);
  }
  if (edited_) {
    edited_ = false;
    SendModule();
  }
  if (redraw_) {
    redraw_ = false;
    Redraw();
  }
  return closed_ ? 1 : 0;
}

// ------------------------------------------------------------ LV2 glue

struct Instance {
  Display* display = nullptr;
  std::unique_ptr<EditorUi> ui;
};

EditorUi& Of(LV2UI_Handle handle) { return *static_cast<Instance*>(handle)->ui; }

LV2UI_Handle Instantiate(const LV2UI_Descriptor*, const char* plugin_uri, const char*, LV2UI_Write_Function write,
                         LV2UI_Controller controller, LV2UI_Widget* widget, const LV2_Feature* const* features) {
  if (plugin_uri == nullptr || std::strcmp(plugin_uri, kPluginUri) != 0) return nullptr;
  auto* map = FeatureData<LV2_URID_Map>(features, LV2_URID__map);
  if (map == nullptr) {
    std::fputs(kNoMap, stderr);
    return nullptr;
  }
  const auto parent = reinterpret_cast<std::uintptr_t>(FeatureData<void>(features, LV2_UI__parent));
  auto* resize = FeatureData<LV2UI_Resize>(features, LV2_UI__resize);
  auto instance = std::make_unique<Instance>();
  instance->display = XOpenDisplay(nullptr);
  if (instance->display == nullptr) {
    std::fputs(kNoDisplay, stderr);
    return nullptr;
  }
  try {
    instance->ui = std::make_unique<EditorUi>(instance->display, map, write, controller, parent, resize);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "Korvel Modular UI: %s\n", e.what());
    XCloseDisplay(instance->display);
    return nullptr;
  }
  *widget = reinterpret_cast<LV2UI_Widget>(static_cast<std::uintptr_t>(instance->ui->WindowId()));
  return instance.release();
}

void Cleanup(LV2UI_Handle handle) {
  auto* instance = static_cast<Instance*>(handle);
  instance->ui.reset();
  XCloseDisplay(instance->display);
  delete instance;
}

void PortEvent(LV2UI_Handle handle, std::uint32_t port, std::uint32_t size, std::uint32_t format, const void* buffer) {
  Of(handle).PortEvent(port, size, format, buffer);
}

int Idle(LV2UI_Handle handle) { return Of(handle).Idle(); }
int ResizeUi(LV2UI_Feature_Handle handle, int width, int height) {
  return Of(static_cast<LV2UI_Handle>(handle)).Resize(width, height);
}

std::size_t CopyOut(const std::string& text, char* out, std::size_t size) {
  if (out != nullptr && size > 0) {
    const std::size_t n = std::min(size - 1, text.size());
    std::memcpy(out, text.data(), n);
    out[n] = '\0';
  }
  return text.size();
}

std::size_t InspectImage(void* ui, char* out, std::size_t size) { return CopyOut(Of(ui).Image(), out, size); }
int InspectAdd(void* ui, int type, int x, int y) { return Of(ui).Add(type, x, y); }
std::size_t InspectUndoDepth(void* ui) { return Of(ui).UndoDepth(); }
std::size_t InspectStatus(void* ui, char* out, std::size_t size) { return CopyOut(Of(ui).StatusLine(), out, size); }
float InspectSlider(void* ui, int index) {
  return index >= 0 && index < kParameterPortCount ? Of(ui).Slider(index) : -1.0f;
}

const void* ExtensionData(const char* uri) {
  static const LV2UI_Idle_Interface idle = {Idle};
  // The host's handle for this is the UI's own handle.
  static const LV2UI_Resize resize = {nullptr, ResizeUi};
  static const UiInspect inspect = {InspectImage, InspectAdd, InspectUndoDepth, InspectStatus, InspectSlider};
  if (std::strcmp(uri, LV2_UI__idleInterface) == 0) return &idle;
  if (std::strcmp(uri, LV2_UI__resize) == 0) return &resize;
  if (std::strcmp(uri, kUiInspectUri) == 0) return &inspect;
  return nullptr;
}

const LV2UI_Descriptor kDescriptor = {kUiUri, Instantiate, Cleanup, PortEvent, ExtensionData};

}  // namespace
}  // namespace korvel::lv2

LV2_SYMBOL_EXPORT const LV2UI_Descriptor* lv2ui_descriptor(std::uint32_t index) {
  return index == 0 ? &korvel::lv2::kDescriptor : nullptr;
}
