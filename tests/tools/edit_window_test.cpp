// korvel edit under a virtual X server, driven with real input (XTest): a
// patch made with the menu and the mouse is saved with Ctrl+S, reopened
// and compared with what the window showed; a save into a read-only folder
// is refused naming the folder, and nothing there changes.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cairo.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "editor/core/component_menu.h"
#include "editor/x11/editor_window.h"
#include "engine/module_file.h"
#include "engine/patch_engine.h"
#include <nlohmann/json.hpp>

#include "components/value_sources.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/virtual_display.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;
using x11_editor::kMenuRowHeight;
using x11_editor::kMenuWidth;
using testing::Outcome;
using testing::WaitFor;


pid_t Spawn(const std::vector<std::string>& argv, const std::string& err_path = "") {
  const pid_t pid = fork();
  if (pid == 0) {
    if (!err_path.empty()) {
      FILE* err = std::fopen(err_path.c_str(), "w");
      if (err != nullptr) dup2(fileno(err), 2);
    }
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execvp(args[0], args.data());
    _exit(127);
  }
  return pid;
}

class EditWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::VirtualDisplay::Available()) GTEST_SKIP() << "no Xvfb";
    ASSERT_TRUE(x_.Start(100)) << "no virtual X server";
    display_ = x_.display();
    // A window may go between listing it and asking after it: not fatal.
    XSetErrorHandler([](Display*, XErrorEvent*) { return 0; });
  }
  void TearDown() override {
    if (editor_ > 0) {
      kill(editor_, SIGKILL);
      waitpid(editor_, nullptr, 0);
    }
  }

  // Starts korvel edit on `path` (as `user` when given) and waits for its
  // window to show.
  void Open(const std::string& path, bool as_nobody = false) {
    std::vector<std::string> argv;
    if (as_nobody) argv = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
    argv.insert(argv.end(), {KORVEL_CLI, "edit", path});
    editor_ = Spawn(argv, scratch.Path("stderr.txt"));
    const std::string title = fs::path(path).filename().string();
    ASSERT_TRUE(WaitFor([&] { return (window_ = FindWindow(title)) != 0; })) << "no window named " << title;
    XSync(display_, False);
  }

  // Answers the message box titled `title` with a key, once it shows.
  void Answer(const std::string& title, KeySym key) {
    Window box = 0;
    ASSERT_TRUE(WaitFor([&] { return (box = FindWindow(title, true)) != 0; })) << "no box " << title << "\n" << Err();
    MoveTo(60, 60);  // over it: the keys go where the pointer is
    Key(key);
    // Gone before anything else happens: the next box is another one.
    ASSERT_TRUE(WaitFor([&] { return FindWindow(title, true) != box; })) << "the box stays\n" << Err();
    MoveTo(500, 500);
  }

  Window FindWindow(const std::string& part, bool whole = false) {
    Window root = DefaultRootWindow(display_), parent = 0, *children = nullptr;
    unsigned count = 0;
    Window found = 0;
    if (XQueryTree(display_, root, &root, &parent, &children, &count) == 0) return 0;
    for (unsigned i = 0; i < count && found == 0; ++i) {
      char* name = nullptr;
      XWindowAttributes attributes;
      if (XGetWindowAttributes(display_, children[i], &attributes) && attributes.map_state == IsViewable &&
          XFetchName(display_, children[i], &name) && name != nullptr) {
        if (whole ? name == part : std::string(name).find(part) != std::string::npos) found = children[i];
        XFree(name);
      }
    }
    if (children != nullptr) XFree(children);
    return found;
  }

  void MoveTo(int x, int y) {
    XTestFakeMotionEvent(display_, 0, x, y, CurrentTime);
    XSync(display_, False);
  }
  void Click(int x, int y, unsigned button = 1) {
    MoveTo(x, y);
    XTestFakeButtonEvent(display_, button, True, CurrentTime);
    XTestFakeButtonEvent(display_, button, False, CurrentTime);
    XSync(display_, False);
  }
  void Drag(int x0, int y0, int x1, int y1) {
    MoveTo(x0, y0);
    XTestFakeButtonEvent(display_, 1, True, CurrentTime);
    MoveTo((x0 + x1) / 2, (y0 + y1) / 2);
    MoveTo(x1, y1);
    XTestFakeButtonEvent(display_, 1, False, CurrentTime);
    XSync(display_, False);
  }
  void Key(KeySym key, bool control = false, bool shift = false) {
    const KeyCode ctrl = XKeysymToKeycode(display_, XK_Control_L);
    const KeyCode shift_key = XKeysymToKeycode(display_, XK_Shift_L);
    if (shift) XTestFakeKeyEvent(display_, shift_key, True, CurrentTime);
    if (control) XTestFakeKeyEvent(display_, ctrl, True, CurrentTime);
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), True, CurrentTime);
    XTestFakeKeyEvent(display_, XKeysymToKeycode(display_, key), False, CurrentTime);
    if (control) XTestFakeKeyEvent(display_, ctrl, False, CurrentTime);
    if (shift) XTestFakeKeyEvent(display_, shift_key, False, CurrentTime);
    XSync(display_, False);
  }
  // Types ASCII text as key presses (shifted where the keyboard needs it).
  void Type(const std::string& text) {
    for (const char c : text) {
      const KeySym key = static_cast<KeySym>(static_cast<unsigned char>(c));
      const KeyCode code = XKeysymToKeycode(display_, key);
      Key(key, false, ShiftedOf(code) == key);
    }
  }
  KeySym ShiftedOf(KeyCode code) {
    int per = 0;
    KeySym* syms = XGetKeyboardMapping(display_, code, 1, &per);
    const KeySym shifted = per > 1 ? syms[1] : NoSymbol;
    const KeySym plain = per > 0 ? syms[0] : NoSymbol;
    XFree(syms);
    return shifted != plain ? shifted : NoSymbol;
  }
  // Gives an unused keycode the keysym `key` (one no key of the layout
  // has), before the editor opens so it reads the mapping as it starts.
  KeyCode GiveKey(KeySym key) {
    int low = 0, high = 0;
    XDisplayKeycodes(display_, &low, &high);
    for (int code = high; code >= low; --code) {
      int per = 0;
      KeySym* syms = XGetKeyboardMapping(display_, static_cast<KeyCode>(code), 1, &per);
      const bool unused = per > 0 && syms[0] == NoSymbol;
      XFree(syms);
      if (!unused) continue;
      KeySym both[2] = {key, key};
      XChangeKeyboardMapping(display_, code, 2, both, 1);
      XSync(display_, False);
      return static_cast<KeyCode>(code);
    }
    ADD_FAILURE() << "no free keycode";
    return 0;
  }
  void Press(KeyCode code) {
    XTestFakeKeyEvent(display_, code, True, CurrentTime);
    XTestFakeKeyEvent(display_, code, False, CurrentTime);
    XSync(display_, False);
  }
  void DoubleClick(int x, int y) {
    Click(x, y);
    Click(x, y);
  }
  // Saves and waits until the file differs from `before`.
  void SaveChanged(const std::string& path, const std::string& before) {
    Key(XK_s, true);
    ASSERT_TRUE(WaitFor([&] { return fs::exists(path) && testing::ReadBytes(path) != before; })) << Err();
  }
  // Opens the Components menu at (x, y) and picks the item `name`, from a
  // submenu when `group` is given, where the menu's geometry puts it.
  void AddFromMenu(int x, int y, const std::string& name, const std::string& group = "") {
    Click(x, y, 3);
    const editor_core::Menu menu = editor_core::ComponentMenu();
    const auto row = [](const editor_core::MenuItem* items, std::size_t n, const std::string& wanted) {
      for (std::size_t i = 0; i < n; ++i)
        if (items[i].name != nullptr && wanted == items[i].name) return static_cast<int>(i);
      ADD_FAILURE() << "no menu item " << wanted;
      return 0;
    };
    XWindowAttributes window;
    XGetWindowAttributes(display_, window_, &window);
    const int view_height = window.height - x11_editor::kStatusHeight;
    const auto top = x11_editor::MenuPlace(x, y, static_cast<int>(menu.size), window.width, view_height);
    if (group.empty()) {
      Click(top.x + 20, top.y + row(menu.items, menu.size, name) * kMenuRowHeight + kMenuRowHeight / 2);
      return;
    }
    const int g = row(menu.items, menu.size, group);
    Click(top.x + 20, top.y + g * kMenuRowHeight + kMenuRowHeight / 2);
    const editor_core::MenuItem& sub = menu.items[g];
    const auto at =
        x11_editor::SubmenuPlace(top, g, static_cast<int>(sub.submenu_size), window.width, view_height);
    Click(at.x + 20, at.y + row(sub.submenu, sub.submenu_size, name) * kMenuRowHeight + kMenuRowHeight / 2);
  }
  void Close() {
    XEvent event = {};
    event.xclient.type = ClientMessage;
    event.xclient.window = window_;
    event.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
    XSendEvent(display_, window_, False, 0, &event);
    XSync(display_, False);
  }
  int Exit() {
    int status = -1;
    EXPECT_TRUE(WaitFor([&] { return waitpid(editor_, &status, WNOHANG) == editor_; })) << "the editor did not end";
    editor_ = 0;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::string Err() const { return scratch.Read("stderr.txt"); }

  testing::ScratchDir scratch{"edit"};
  testing::VirtualDisplay x_;
  Display* display_ = nullptr;
  pid_t editor_ = 0;
  Window window_ = 0;
};

TEST_F(EditWindowTest, APatchMadeWithTheMouseIsSavedAsDrawnAndReopens) {
  const std::string path = scratch.Path("made.korvel");
  Open(path);
  AddFromMenu(100, 100, "Input Component");
  AddFromMenu(300, 100, "Output Component");
  AddFromMenu(700, 450, "Lowpass Filter", "Filter");  // the menus move up and left to fit
  // In's output 1 to Out's input 1, at the squares the geometry puts.
  Drag(100 + 74, 100 + 6, 300 + 5, 100 + 6);
  Key(XK_z, true);  // takes the wire back
  Key(XK_y, true);  // and lays it again
  Click(600, 500);  // nothing selected: no frames in the picture
  Key(XK_s, true);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(path); })) << Err();

  // Reopened: the boxes where they were put, the wire between them.
  PatchEngine engine;
  engine.ResetEngine();
  std::string error;
  ASSERT_TRUE(LoadModuleFile(engine, path, error)) << error;
  int in = -1, out = -1, filter = -1;
  for (int s = 0; s < engine.SlotCount(); ++s) {
    const ComponentDescriptor* d = engine.Descriptor(s);
    if (d == nullptr) continue;
    (d->type == 0 ? in : d->type == 1 ? out : filter) = s;
  }
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  ASSERT_GE(filter, 0);
  EXPECT_EQ(engine.Descriptor(in)->x, 100);
  EXPECT_EQ(engine.Descriptor(out)->x, 300);
  EXPECT_EQ(engine.Descriptor(filter)->y, 450);
  EXPECT_EQ(engine.Descriptor(filter)->x, 700);
  EXPECT_EQ(engine.Descriptor(filter)->type, 15);
  EXPECT_EQ(engine.Descriptor(out)->input_source_slot[0], in);

  // The window shows what `korvel draw` draws of the saved file, pixel for pixel.
  const std::string png = scratch.Path("made.png");
  ASSERT_EQ(std::system((std::string(KORVEL_CLI) + " draw " + path + " -o " + png).c_str()), 0);
  cairo_surface_t* picture = cairo_image_surface_create_from_png(png.c_str());
  ASSERT_EQ(cairo_surface_status(picture), CAIRO_STATUS_SUCCESS);
  const int w = cairo_image_surface_get_width(picture), h = cairo_image_surface_get_height(picture);
  XImage* shown = XGetImage(display_, window_, 0, 0, static_cast<unsigned>(w), static_cast<unsigned>(h), AllPlanes,
                            ZPixmap);
  ASSERT_NE(shown, nullptr);
  cairo_surface_flush(picture);
  const unsigned char* data = cairo_image_surface_get_data(picture);
  const int stride = cairo_image_surface_get_stride(picture);
  int differ = 0;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const auto drawn = *reinterpret_cast<const std::uint32_t*>(data + y * stride + 4 * x) & 0xFFFFFF;
      if ((XGetPixel(shown, x, y) & 0xFFFFFF) != drawn && differ++ < 5)
        ADD_FAILURE() << "pixel (" << x << ", " << y << ")";
    }
  EXPECT_EQ(differ, 0);
  XDestroyImage(shown);
  cairo_surface_destroy(picture);

  Close();
  EXPECT_EQ(Exit(), 0) << "saved: closing asks nothing\n" << Err();
}

TEST_F(EditWindowTest, ASaveIntoAReadOnlyFolderNamesItAndLosesNothing) {
  // Root writes anywhere: the editor runs as nobody.
  fs::create_directories(scratch.Path("ro"));
  const std::string path = scratch.Path("ro/kept.korvel");
  {
    PatchEngine engine;
    engine.ResetEngine();
    engine.Editor().new_component_x = 40;
    engine.CreateComponent(0);
    std::string error;
    ASSERT_TRUE(SaveModuleFile(engine, path, error)) << error;
  }
  const std::string before = testing::ReadBytes(path);
  chmod(scratch.dir().c_str(), 0777);
  chmod(path.c_str(), 0666);
  chmod(scratch.Path("ro").c_str(), 0555);
  Open(path, geteuid() == 0);
  AddFromMenu(300, 200, "Output Component");
  MoveTo(500, 400);
  Key(XK_s, true);
  Answer("Korvel Modular", XK_Return);
  EXPECT_NE(Err().find("Not saved"), std::string::npos) << Err();
  EXPECT_NE(Err().find("'" + scratch.Path("ro") + "'"), std::string::npos) << "names the folder: " << Err();
  Close();
  Answer("Korvel Modular", XK_n);  // close without saving
  EXPECT_NE(Err().find("before closing"), std::string::npos) << Err();
  EXPECT_EQ(Exit(), 0) << Err();
  chmod(scratch.Path("ro").c_str(), 0755);
  EXPECT_EQ(testing::ReadBytes(path), before);
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.Path("ro")), fs::directory_iterator()), 1)
      << "no temporary file left";
}

// What another X client gets from the CLIPBOARD selection as UTF8_STRING.
std::string ClipboardOf(Display* display) {
  const Window me = XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0, 0);
  const Atom property = XInternAtom(display, "TEST_CLIP", False);
  const Atom clipboard = XInternAtom(display, "CLIPBOARD", False);
  // The editor takes the selection when it has read the keys.
  if (!WaitFor([&] { return XGetSelectionOwner(display, clipboard) != None; })) return {};
  XConvertSelection(display, clipboard, XInternAtom(display, "UTF8_STRING", False),
                    property, me, CurrentTime);
  std::string text;
  XEvent event;
  const bool answered = WaitFor([&] { return XCheckTypedWindowEvent(display, me, SelectionNotify, &event) == True; });
  if (answered && event.xselection.property != None) {
    Atom type;
    int format;
    unsigned long count, after;
    unsigned char* data = nullptr;
    XGetWindowProperty(display, me, property, 0, 1 << 20, True, AnyPropertyType, &type, &format, &count, &after,
                       &data);
    if (data != nullptr) {
      text.assign(reinterpret_cast<const char*>(data), count);
      XFree(data);
    }
  }
  XDestroyWindow(display, me);
  return text;
}

int BoxesIn(const std::string& path) {
  PatchEngine engine;
  engine.ResetEngine();
  std::string error;
  EXPECT_TRUE(LoadModuleFile(engine, path, error)) << error;
  int boxes = 0;
  for (int s = 0; s < engine.SlotCount(); ++s) boxes += engine.IsOccupied(s);
  return boxes;
}

TEST_F(EditWindowTest, CopiedBoxesReachOtherClientsAndPasteBackAndABandDeletesAfterAsking) {
  const std::string path = scratch.Path("clip.korvel");
  Open(path);
  AddFromMenu(100, 100, "Constant", "Values");
  Click(110, 105);
  Key(XK_c, true);
  const std::string text = ClipboardOf(display_);
  EXPECT_NE(text.find("\"components\""), std::string::npos) << "module text: " << text;
  Key(XK_v, true);
  Key(XK_d, true);
  Key(XK_s, true);
  ASSERT_TRUE(WaitFor([&] { return fs::exists(path); })) << Err();
  EXPECT_EQ(BoxesIn(path), 3) << "the constant, its paste and the paste's duplicate";

  Drag(60, 60, 400, 400);  // a band over all three
  Key(XK_Delete);
  Answer("Delete Component", XK_y);
  const std::string saved = testing::ReadBytes(path);
  Key(XK_s, true);
  ASSERT_TRUE(WaitFor([&] { return testing::ReadBytes(path) != saved; })) << Err();
  EXPECT_EQ(BoxesIn(path), 0);
  Close();
  EXPECT_EQ(Exit(), 0) << Err();
}

// The component of `type` in a module file, as its entry there.
nlohmann::json EntryOf(const std::string& path, int type) {
  const nlohmann::json module = nlohmann::json::parse(testing::ReadBytes(path));
  for (const nlohmann::json& c : module["components"])
    if (c["type"] == type) return c;
  return {};
}

TEST_F(EditWindowTest, TheInlineFormRelabelsAndSetsAValueInOneStepAndRefusesBadValues) {
  const std::string path = scratch.Path("form.korvel");
  const KeyCode euro = GiveKey(0x10020AC);  // three bytes of UTF-8
  const KeyCode e_acute = GiveKey(XK_eacute);  // Latin-1: two
  Open(path);
  AddFromMenu(100, 100, "Constant", "Values");
  SaveChanged(path, "");
  const nlohmann::json added = EntryOf(path, kConstantType);
  ASSERT_TRUE(added.contains("value")) << added.dump();

  // Label first, then Tab to the value; typed over what the rows hold.
  DoubleClick(110, 105);
  for (int i = 0; i < 40; ++i) Key(XK_BackSpace);
  Type("Gain A");
  Key(XK_Left);
  Key(XK_BackSpace);  // "Gain A" -> "GainA"
  Key(XK_End);
  Press(euro);
  Press(e_acute);
  Press(euro);
  Key(XK_BackSpace);  // takes the whole last character
  Key(XK_Left);
  Key(XK_Left);
  Key(XK_Right);  // between the euro sign and the e
  Type("-");
  Key(XK_Tab);
  for (int i = 0; i < 40; ++i) Key(XK_BackSpace);
  Type("0.25");
  Key(XK_Return);
  std::string saved = testing::ReadBytes(path);
  SaveChanged(path, saved);
  nlohmann::json entry = EntryOf(path, kConstantType);
  EXPECT_EQ(entry["label"], "GainA\u20AC-\u00E9");
  EXPECT_EQ(entry["value"], 0.25);

  // One Ctrl+Z takes back both.
  Key(XK_z, true);
  saved = testing::ReadBytes(path);
  SaveChanged(path, saved);
  entry = EntryOf(path, kConstantType);
  EXPECT_EQ(entry["label"], added["label"]);
  EXPECT_EQ(entry["value"], added["value"]);

  // A value that is no number: the engine's reason, the form stays open
  // (Shift+Tab back to the label changes it there too), nothing changes.
  PatchEngine engine;
  engine.ResetEngine();
  const int slot = engine.CreateComponent(kConstantType);
  std::string reason;
  ASSERT_FALSE(engine.SetSettings(slot, {{"value", "1.5x"}}, reason));
  DoubleClick(110, 105);
  Key(XK_Tab);
  Key(XK_End);
  Type("x");
  Key(XK_Tab, false, true);
  Type("Z");
  Key(XK_Return);
  ASSERT_TRUE(WaitFor([&] { return Err().find(reason) != std::string::npos; })) << reason << "\n" << Err();
  Key(XK_Escape);
  // Escape after typing changes nothing either.
  DoubleClick(110, 105);
  Type("Q");
  Key(XK_Escape);
  // The Delete question would come if the form still took the keys.
  AddFromMenu(400, 300, "Output Component");
  saved = testing::ReadBytes(path);
  SaveChanged(path, saved);
  entry = EntryOf(path, kConstantType);
  EXPECT_EQ(entry["label"], added["label"]);
  EXPECT_EQ(entry["value"], added["value"]);
  Close();
  EXPECT_EQ(Exit(), 0) << Err();
}

TEST_F(EditWindowTest, AFileThatIsNoModuleIsNamedAndLeftAlone) {
  const std::string path = scratch.Write("notes.korvel", "shopping list\n");
  const Outcome run = scratch.Run(std::string(KORVEL_CLI) + " edit " + path);
  EXPECT_EQ(run.status, 1);
  EXPECT_NE(run.err.find("'" + path + "'"), std::string::npos) << run.err;
  EXPECT_EQ(testing::ReadBytes(path), "shopping list\n");
  EXPECT_EQ(FindWindow("notes"), 0u) << "no window opens";
}

}  // namespace
}  // namespace korvel
