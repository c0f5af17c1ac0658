// The Win32 implementation of the UI interface: real message boxes, file
// dialogs, fonts and modal dialogs. EditorAttach installs one; tests derive
// from it to answer the questions while keeping real windows and fonts.
#pragma once

#include "engine/ui.h"

namespace korvel {

class Win32Ui : public UserInterface {
 public:
  int ShowMessage(void* owner, const char* text, const char* title, unsigned style) override;
  bool ChooseFile(const FileDialogRequest& request, std::string& path) override;
  void* MakeFont(const FontRequest& request) override;
  void ReleaseFont(void* font) override;
  void Repaint(void* window) override;
  void DestroyEditorWindow(void* window) override;
  void* ForegroundWindow() override;
  std::intptr_t RunDialog(void* owner, int template_id) override;
  void EngineChanged(void* main_window) override;
  void EngineClosing(void* engine) override;
};

// The instance EditorAttach installs.
Win32Ui& TheWin32Ui();

}  // namespace korvel
