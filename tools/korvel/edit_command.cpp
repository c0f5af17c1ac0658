// korvel edit: the Linux editor window editing one module file.
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <string>

#include <nlohmann/json.hpp>

#include "editor/core/layout.h"
#include "editor/editor_texts.h"
#include "editor/x11/editor_window.h"
#include "editor/x11/x11_ui.h"
#include "engine/module_file.h"
#include "engine/ui.h"
#include "tools/korvel/cli.h"
#include "tools/korvel/module_io.h"

// Xlib last: its macros must not reach the engine's headers.
#include <X11/Xlib.h>

namespace korvel::cli {

namespace {

constexpr char kEditUsage[] =
    "usage: korvel edit MODULE.korvel\n"
    "\n"
    "Opens the module in the editor window (X11): add components from the\n"
    "right-click menu, drag boxes and wires, Delete, Ctrl+Z/Ctrl+Y to undo\n"
    "and redo, Ctrl+X/C/V/D for the clipboard, Ctrl+S to save. Saving\n"
    "writes a new file beside the old one and renames it over it, so the\n"
    "old file stays whole until the new one is. A file that does not exist\n"
    "starts a new module, saved under that name; a file that is not a\n"
    "module is refused and left as it is.\n";

constexpr unsigned kMbYesNoCancel = 0x3;
constexpr int kWindowWidth = 900, kWindowHeight = 600;

std::string BaseName(const std::string& path) {
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

int EditCommand(const Args& args) {
  if (WantsHelp(args)) {
    std::fputs(kEditUsage, stdout);
    return kExitOk;
  }
  std::string path;
  for (const std::string& a : args) {
    if (!a.empty() && a[0] == '-') return UsageError("unknown option '" + a + "'", kEditUsage);
    if (!path.empty()) return UsageError("one module only ('" + a + "' is extra)", kEditUsage);
    path = a;
  }
  if (path.empty()) return UsageError("no module given", kEditUsage);

  auto engine = NewEngine();
  std::string error;
  struct stat info;
  const bool exists = stat(path.c_str(), &info) == 0 || errno != ENOENT;
  if (exists) {
    // Checked whole before the engine takes it: a file that is not a
    // module is named with the reason, and nothing is written.
    if (!ReadModuleFile(path, error)) return Fail(kExitFailure, error);
    if (!LoadModuleFile(*engine, path, error)) return Fail(kExitFailure, InputName(path) + ": " + error);
    editor_core::LayOutIfUnplaced(*engine);
  }

  Display* display = XOpenDisplay(nullptr);
  if (display == nullptr) return Fail(kExitFailure, "cannot open the X display (is DISPLAY set?)");
  bool closing = false;
  {
    x11_editor::EditorWindow window(display, *engine, "", kWindowWidth, kWindowHeight);
    x11_editor::X11Ui ui(display, [&window](XEvent& e) { window.Handle(e); });
    SetUi(&ui);
    editor_core::EditorCore& core = window.Core();
    std::string saved = core.Image();
    const std::string name = BaseName(path);
    const auto unsaved = [&] { return core.Image() != saved; };
    bool marked = true;
    const auto retitle = [&] {
      if (marked == unsaved()) return;
      marked = unsaved();
      window.SetTitle((marked ? "*" : "") + name + editor_text::kTitleSuffix);
    };
    // The status line names the module as its texts do, and the file.
    const std::string module_name = nlohmann::json::parse(core.Image()).value("name", "");
    const std::string file = exists ? name : name + " (new)";
    window.SetModuleName(module_name.empty() ? file : module_name + " \xE2\x80\x94 " + file);
    retitle();
    const auto save = [&] {
      std::string why;
      if (!SaveModuleFile(*engine, path, why)) {
        // The folder is named: a read-only or vanished folder is the usual
        // cause, and the edits stay open to be saved once it is fixed.
        const std::string folder = std::filesystem::absolute(path).parent_path().string();
        const std::string text = "Not saved: cannot write '" + path + "' in the folder '" + folder + "': " + why +
                                 ". The file is as it was; the changes are still open.";
        Ui().ShowMessage(nullptr, text.c_str(), editor_text::kTitle, kMbOk | kMbIconExclamation);
        return false;
      }
      saved = core.Image();
      retitle();
      return true;
    };
    window.on_edit = retitle;
    window.on_save = [&] { save(); };
    window.on_close = [&] {
      if (!unsaved()) {
        closing = true;
        return;
      }
      const std::string question = "Save the changes to '" + name + "' before closing?";
      switch (Ui().ShowMessage(nullptr, question.c_str(), editor_text::kTitle, kMbYesNoCancel | kMbIconExclamation)) {
        case kIdYes: closing = save(); break;
        case kIdNo: closing = true; break;
        default: break;
      }
    };
    while (!closing) {
      XEvent event;
      XNextEvent(display, &event);
      window.Handle(event);
    }
    SetUi(nullptr);
  }
  XCloseDisplay(display);
  return kExitOk;
}

}  // namespace korvel::cli
