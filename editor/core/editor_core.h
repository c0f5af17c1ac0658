// The editor's document and commands, shared by every editor window (the
// Win32 editor, the Linux UI): the module as the engine holds it, the
// selection, and the history that undoes and redoes each command. Nothing
// here knows a window system; the windows turn their input into these
// commands and draw what the engine holds.
//
// Every command changes the engine through the engine's own operation for
// it (Connect, SetSettings, ...), so an edit is heard from the next block;
// undo and redo bring the module back to a stored image with
// RestoreModuleImage, which keeps every component the step did not touch
// sounding on. [editor thread] An EditorCore belongs to the thread that
// edits; it takes the edit lock only through the engine's operations.
#pragma once

#include <bitset>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

#include "editor/core/hit_test.h"
#include "engine/patch_engine.h"

namespace korvel::editor_core {

// A history holds at most this many steps, and drops its oldest ones
// sooner when their images together pass kMaxHistoryBytes (a 32-bit host's
// address space is shared with everything else it runs).
inline constexpr std::size_t kMaxHistorySteps = 500;
inline constexpr std::size_t kMaxHistoryBytes = std::size_t{64} << 20;
// How far a paste or a duplicate lands from the boxes it copies.
inline constexpr int kPasteOffset = 20;

// Names of the steps, as the Edit menu shows them after "Undo " and "Redo ".
namespace step {
inline constexpr char kAdd[] = "Add Component";
inline constexpr char kDelete[] = "Delete";
inline constexpr char kMove[] = "Move";
inline constexpr char kConnect[] = "Connect";
inline constexpr char kDisconnect[] = "Disconnect";
inline constexpr char kRename[] = "Rename";
inline constexpr char kSettings[] = "Settings";
inline constexpr char kParameterProperties[] = "Parameter Properties";
inline constexpr char kModuleInformation[] = "Module Information";
inline constexpr char kApplyScript[] = "Apply Script";
inline constexpr char kNewModule[] = "New Module";
inline constexpr char kLoadModule[] = "Load Module";
inline constexpr char kPaste[] = "Paste";
inline constexpr char kCut[] = "Cut";
inline constexpr char kDuplicate[] = "Duplicate";
}  // namespace step

class EditorCore {
 public:
  explicit EditorCore(PatchEngine& engine);
  EditorCore(const EditorCore&) = delete;
  EditorCore& operator=(const EditorCore&) = delete;

  PatchEngine& Engine() { return engine_; }
  const PatchEngine& Engine() const { return engine_; }

  // ---- selection. The engine's selected slot is the one last clicked
  // (the dialogs' "selected component"); the set may hold more.
  bool IsSelected(int slot) const;
  std::vector<int> Selection() const;  // ascending, occupied slots only
  void Select(int slot);               // this one alone (-1: none)
  void ToggleSelected(int slot);       // Shift+click
  void SelectWhere(Rect band, bool add);  // rubber band
  void SelectAll();
  void ClearSelection() { Select(-1); }

  // ---- commands. Each is one undo step when it changes the module;
  // false when it changed nothing (refused, or already so).
  int Add(int type, int x, int y);  // the slot, or -1
  bool DeleteSelection();
  // A box drag moves the whole selection (the pressed box joins it) and is
  // one step from press to release.
  void BeginMove(int pressed_slot);
  void MoveBy(int dx, int dy);
  bool EndMove();
  bool Connect(int source, int output, int target, int input);
  bool Disconnect(int source, int output);
  bool Relabel(int slot, const std::string& label);
  bool ChangeSettings(int slot, const nlohmann::json& settings, std::string& error);
  bool SetParameterInfo(int index, const std::string& name, std::uint32_t kind);
  bool SetModuleTexts(const std::string& name, const std::string& author, const std::string& description);
  bool ApplyScript(const std::string& text);
  bool NewModule();
  bool LoadModule(const std::string& path, std::string& error);

  // Any other edit as one step: `edit` changes the engine through its
  // operations and answers whether it did anything.
  template <class Edit>
  bool Change(const char* name, Edit&& edit) {
    BeginStep(name);
    const bool done = edit();
    return EndStep() && done;
  }
  // The same, spread over several calls (a wire drag: the old wire goes at
  // the press, the new one comes at the release). The name may change
  // before the end.
  void BeginStep(const char* name);
  void RenameStep(const char* name) { pending_name_ = name; }
  bool EndStep();  // true when the module changed: a step was recorded
  bool InStep() const { return in_step_; }

  // ---- clipboard: the selection as module-file text, its own wires kept.
  std::string Copy() const;
  bool Cut();
  // Pastes a fragment: its boxes land kPasteOffset down and right of where
  // they were copied, in the lowest free slots, with their wires, and
  // become the selection. Text that is not a module fragment, or one that
  // would not fit the free slots, changes nothing: false with `error` one
  // line for the user.
  bool Paste(const std::string& text, std::string& error);
  bool Duplicate(std::string& error);

  // ---- history
  bool CanUndo() const { return !undo_.empty(); }
  bool CanRedo() const { return !redo_.empty(); }
  // The name of the step Undo or Redo would take back ("" for none).
  std::string UndoName() const { return undo_.empty() ? std::string() : undo_.back().name; }
  std::string RedoName() const { return redo_.empty() ? std::string() : redo_.back().name; }
  bool Undo(std::string& error);
  bool Redo(std::string& error);
  // Undoes the last step and forgets it (no redo): for a gesture that turns
  // out not to have been meant (a double-click's first click).
  bool TakeBack(std::string& error);
  std::size_t UndoDepth() const { return undo_.size(); }
  // The module was replaced by something other than these commands (a
  // host restoring its project, a preset): the history no longer leads
  // here, so it is dropped. Also done by every command when it notices.
  void Forget();

  // The module as a module image, without the host's parameter values
  // (what a step stores and compares).
  std::string Image() const;

 private:
  struct Step {
    std::string name;
    std::string image;  // the module before (undo) or after (redo) it
  };
  void Record(std::string name, std::string before);
  void Trim();
  bool Travel(std::deque<Step>& from, std::deque<Step>& to, std::string& error);
  void Notice();  // drops the history when the module changed behind it
  void PruneSelection();

  PatchEngine& engine_;
  std::bitset<kSlotCount> selected_;
  std::deque<Step> undo_, redo_;
  std::size_t history_bytes_ = 0;
  std::uint32_t layout_seen_ = 0;
  std::uint32_t script_seen_ = 0;
  bool in_step_ = false;
  std::string pending_name_;
  std::string pending_before_;
  struct Start {
    int slot, x, y;
  };
  std::vector<Start> move_start_;
};

}  // namespace korvel::editor_core
