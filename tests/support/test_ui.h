// A UserInterface for tests: records every message box and answers
// questions and file dialogs from scripted replies.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "engine/ui.h"

namespace korvel::testing {

struct ShownMessage {
  std::string text;
  std::string title;
  unsigned style;
};

class TestUi : public UserInterface {
 public:
  TestUi() { SetUi(this); }
  ~TestUi() override { SetUi(nullptr); }

  int ShowMessage(void*, const char* text, const char* title, unsigned style) override {
    messages.push_back({text, title, style});
    if (answers.empty()) return (style & 0xF) == kMbYesNo ? kIdNo : kIdOk;
    const int answer = answers.front();
    answers.pop_front();
    return answer;
  }
  bool ChooseFile(const FileDialogRequest& request, std::string& path) override {
    file_requests.push_back(request);
    if (files.empty()) return false;
    path = files.front();
    files.pop_front();
    return !path.empty();
  }
  void* MakeFont(const FontRequest& request) override {
    fonts.push_back(request);
    return reinterpret_cast<void*>(static_cast<std::uintptr_t>(fonts.size()));
  }
  void ReleaseFont(void* font) override {
    if (font != nullptr) ++released_fonts;
  }
  void Repaint(void*) override { ++repaints; }
  void DestroyEditorWindow(void*) override {}
  void* ForegroundWindow() override { return nullptr; }

  std::vector<ShownMessage> messages;
  std::deque<int> answers;          // replies to message boxes, in order
  std::deque<std::string> files;    // replies to file dialogs; "" cancels
  std::vector<FileDialogRequest> file_requests;
  int repaints = 0;
  std::vector<FontRequest> fonts;
  int released_fonts = 0;
};

}  // namespace korvel::testing
