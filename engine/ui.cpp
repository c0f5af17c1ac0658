#include "engine/ui.h"

#include <atomic>
#include <cassert>
#include <cstdio>

namespace korvel {
namespace {

class HeadlessUi final : public SilentUi {
 public:
  int ShowMessage(void*, const char* text, const char* title, unsigned style) override {
    std::fprintf(stderr, "%s: %s\n", title, text);
    return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
  }
};

HeadlessUi g_headless;
std::atomic<UserInterface*> g_ui{&g_headless};
std::atomic<long> g_refused{0};
thread_local int t_no_modal = 0;

int SafeAnswer(unsigned style) { return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk; }

void Refuse(const char* what) {
  g_refused.fetch_add(1);
  std::fprintf(stderr, "korvel: refused to show %s while an engine lock or host call is active\n", what);
  assert(!"modal UI while an engine lock or host call is active");
}

// Non-modal calls go through; modal ones are refused.
class RefusingUi final : public UserInterface {
 public:
  int ShowMessage(void*, const char* text, const char*, unsigned style) override {
    Refuse(text);
    return SafeAnswer(style);
  }
  bool ChooseFile(const FileDialogRequest&, std::string&) override {
    Refuse("a file dialog");
    return false;
  }
  std::intptr_t RunDialog(void*, int) override {
    Refuse("a dialog");
    return kIdCancel;
  }
  void* MakeFont(const FontRequest& request) override { return g_ui.load()->MakeFont(request); }
  void ReleaseFont(void* font) override { g_ui.load()->ReleaseFont(font); }
  void Repaint(void* window) override { g_ui.load()->Repaint(window); }
  void DestroyEditorWindow(void* window) override { g_ui.load()->DestroyEditorWindow(window); }
  void* ForegroundWindow() override { return g_ui.load()->ForegroundWindow(); }
  void EngineChanged(void* main_window) override { g_ui.load()->EngineChanged(main_window); }
  void EngineClosing(void* engine) override { g_ui.load()->EngineClosing(engine); }
};

RefusingUi g_refusing;

}  // namespace

UserInterface& Ui() { return t_no_modal > 0 ? static_cast<UserInterface&>(g_refusing) : *g_ui.load(); }

void SetUi(UserInterface* ui) { g_ui.store(ui != nullptr ? ui : &g_headless); }

NoModalUi::NoModalUi() { ++t_no_modal; }
NoModalUi::~NoModalUi() { --t_no_modal; }
bool ModalUiAllowed() { return t_no_modal == 0; }
long RefusedModalUiCount() { return g_refused.load(); }

}  // namespace korvel
