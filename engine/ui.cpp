#include "engine/ui.h"

#include <cstdio>

namespace korvel {
namespace {

class HeadlessUi final : public UserInterface {
 public:
  int ShowMessage(void*, const char* text, const char* title, unsigned style) override {
    std::fprintf(stderr, "%s: %s\n", title, text);
    return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
  }
  bool ChooseFile(const FileDialogRequest&, std::string&) override { return false; }
  void* MakeFont(const FontRequest&) override { return nullptr; }
  void ReleaseFont(void*) override {}
  void Repaint(void*) override {}
  void DestroyEditorWindow(void*) override {}
  void* ForegroundWindow() override { return nullptr; }
};

HeadlessUi g_headless;
UserInterface* g_ui = &g_headless;

}  // namespace

UserInterface& Ui() { return *g_ui; }

void SetUi(UserInterface* ui) { g_ui = ui != nullptr ? ui : &g_headless; }

}  // namespace korvel
