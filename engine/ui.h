// The one way the system talks to the user: message boxes, file dialogs and
// the few window-system objects the engine owns (fonts, repaint requests).
// The Windows builds install an implementation that makes the Win32 calls;
// tests install their own to answer dialogs and capture messages.
#pragma once

#include <cstdint>
#include <string>

namespace korvel {

// Message box styles and answers, with their Win32 values.
inline constexpr unsigned kMbOk = 0x0;
inline constexpr unsigned kMbYesNo = 0x4;
inline constexpr unsigned kMbIconExclamation = 0x30;
inline constexpr unsigned kMbSystemModal = 0x1000;
inline constexpr int kIdOk = 1;
inline constexpr int kIdCancel = 2;
inline constexpr int kIdYes = 6;
inline constexpr int kIdNo = 7;

struct FileDialogRequest {
  void* owner = nullptr;
  const char* filter_name = "";   // e.g. "Korvel Module (*.korvel)"
  const char* filter_pattern = "";  // e.g. "*.korvel"
  const char* title = "";
  const char* initial_name = "";
  const char* default_extension = "";  // without the dot
  bool save = false;
};

struct FontRequest {
  const char* face;
  int height;
  int weight;
  int quality;
};

class UserInterface {
 public:
  virtual ~UserInterface() = default;
  // Answers the button pressed (kIdOk, kIdYes, ...).
  virtual int ShowMessage(void* owner, const char* text, const char* title, unsigned style) = 0;
  // False when the user cancels; otherwise `path` holds the chosen file.
  virtual bool ChooseFile(const FileDialogRequest& request, std::string& path) = 0;
  virtual void* MakeFont(const FontRequest& request) = 0;
  virtual void ReleaseFont(void* font) = 0;
  // Asks a window to repaint all of its client area, without erasing.
  virtual void Repaint(void* window) = 0;
  virtual void DestroyEditorWindow(void* window) = 0;
  // The window in front, owner of system-modal questions.
  virtual void* ForegroundWindow() = 0;
  // Runs the editor's modal dialog `template_id` owned by `owner`; answers
  // the dialog's result. Without a window system nothing opens (kIdCancel).
  virtual std::intptr_t RunDialog(void* /*owner*/, int /*template_id*/) { return kIdCancel; }
  // Tells an open editor (its main window) that the engine changed under
  // it: a module was loaded or restored, or a problem was kept. Must not
  // wait for the editor's thread; the Win32 version posts a message.
  virtual void EngineChanged(void* /*main_window*/) {}
  // Called first when `engine` (a PatchEngine) is torn down: dialogs open
  // on it end and let go of it, so nothing reads it once it is freed.
  virtual void EngineClosing(void* /*engine*/) {}
};

// An interface with no window system behind it: every question answered
// with OK (override ShowMessage to see or answer them), no file chosen, no
// fonts, nothing to repaint. What headless programs and benchmarks build on.
class SilentUi : public UserInterface {
 public:
  int ShowMessage(void*, const char*, const char*, unsigned) override { return kIdOk; }
  bool ChooseFile(const FileDialogRequest&, std::string&) override { return false; }
  void* MakeFont(const FontRequest&) override { return nullptr; }
  void ReleaseFont(void*) override {}
  void Repaint(void*) override {}
  void DestroyEditorWindow(void*) override {}
  void* ForegroundWindow() override { return nullptr; }
};

// The interface in force: the one installed, or a headless default that
// writes messages to standard error and answers every question with its
// safe choice (No, Cancel).
//
// While the calling thread holds an engine lock or runs a host call
// (NoModalUi below), Ui() answers with a stand-in that passes the
// non-modal calls on but refuses every message box, file dialog and modal
// dialog: it shows nothing, answers the safe choice and counts the refusal.
// Debug builds stop at the refusal. A box can therefore never keep the
// edit lock held or a host waiting.
UserInterface& Ui();
// Installs `ui` (not owned); null restores the default.
void SetUi(UserInterface* ui);

// While one lives on a thread, modal UI from that thread is refused. Held
// by every engine lock and by the host calls that must return at once
// (state chunks, parameters, port callbacks).
class NoModalUi {
 public:
  NoModalUi();
  ~NoModalUi();
  NoModalUi(const NoModalUi&) = delete;
  NoModalUi& operator=(const NoModalUi&) = delete;
};
// Whether the calling thread may show modal UI now.
bool ModalUiAllowed();
// Modal calls refused so far, process-wide: tests expect 0.
long RefusedModalUiCount();

}  // namespace korvel
