// The plug-in's UI, loaded from the bundle as a host loads it (dlopen, its
// descriptor, a parent window, idle calls) on a virtual X server, wired to
// a running plug-in only through the ports: what the UI writes goes into
// the control port, what the plug-in writes on notify goes to port_event.
// The UI shows the plug-in's module, its edits reach the plug-in, and the
// audio passes through unchanged all the while.
#include <dlfcn.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <lv2/atom/util.h>
#include <lv2/ui/ui.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "components/biquad_filters.h"
#include "editor/x11/editor_window.h"
#include "host/lv2/korvel_lv2_ui.h"
#include "host/lv2/lv2_names.h"
#include "tests/lv2/lilv_host.h"
#include "tests/support/scratch_dir.h"
#include "tests/support/virtual_display.h"

#include <X11/Xlib.h>
#include <X11/keysym.h>

namespace korvel {
namespace {

namespace fs = std::filesystem;
using lv2test::Instance;
using lv2test::World;
using testing::WaitFor;

constexpr double kRate = 48000.0;
constexpr std::uint32_t kBlock = 256;

// A module the UI cannot have made up: a name, and a filter beside IN→OUT.
constexpr char kRunningModule[] = R"({"format": "korvel-module", "version": 1, "name": "running here",
  "components": [{"slot": 0, "type": 0, "x": 20, "y": 40}, {"slot": 1, "type": 1, "x": 300, "y": 40},
                 {"slot": 2, "type": 15, "x": 150, "y": 200}],
  "connections": [{"from": [0, 0], "to": [1, 0]}]})";

class Lv2UiTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::VirtualDisplay::Available()) GTEST_SKIP() << "no Xvfb";
    ASSERT_TRUE(x_.Start(900)) << "no virtual X server";
    display_ = x_.display();

    setenv("LV2_PATH", KORVEL_LV2_PATH, 0);
    world_ = std::make_unique<World>(lv2::kPluginUri);
    ASSERT_NE(world_->plugin(), nullptr);
    dsp_ = std::make_unique<Instance>(*world_, kRate);
    ASSERT_TRUE(dsp_->ok());
    event_transfer_ = world_->urids().Map(LV2_ATOM__eventTransfer);
    dsp_->on_notify = [this](const LV2_Atom* atom) {
      if (ui_ != nullptr) descriptor_->port_event(ui_, lv2::kNotify, lv2_atom_total_size(atom), event_transfer_, atom);
    };

    library_ = dlopen((std::string(KORVEL_LV2_PATH) + "/korvel.lv2/korvel_ui.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(library_, nullptr) << dlerror();
    const auto entry = reinterpret_cast<LV2UI_DescriptorFunction>(dlsym(library_, "lv2ui_descriptor"));
    ASSERT_NE(entry, nullptr);
    descriptor_ = entry(0);
    ASSERT_NE(descriptor_, nullptr);
    EXPECT_STREQ(descriptor_->URI, lv2::kUiUri);
    EXPECT_EQ(entry(1), nullptr);

    // Noise through the default IN→OUT: any block the plug-in alters shows.
    std::mt19937 random(11);
    std::uniform_real_distribution<float> noise(-0.5f, 0.5f);
    for (float& s : left_) s = noise(random);
    for (float& s : right_) s = noise(random);
  }

  void TearDown() override {
    if (ui_ != nullptr) descriptor_->cleanup(ui_);
    if (library_ != nullptr) dlclose(library_);
    dsp_.reset();
    world_.reset();
  }

  // Opens the UI in a plain window of the test's own, as a host embeds it.
  // Without `embedded`, no ui:parent: the UI opens a window of its own.
  void OpenUi(bool embedded = true) {
    parent_ = XCreateSimpleWindow(display_, DefaultRootWindow(display_), 0, 0, 400, 300, 0, 0, 0);
    XMapWindow(display_, parent_);
    XSync(display_, False);
    map_feature_ = {LV2_URID__map, world_->urids().map()};
    parent_feature_ = {LV2_UI__parent, reinterpret_cast<void*>(parent_)};
    resize_ = {this, [](LV2UI_Feature_Handle self, int width, int height) {
                 static_cast<Lv2UiTest*>(self)->asked_size_ = {width, height};
                 return 0;
               }};
    resize_feature_ = {LV2_UI__resize, &resize_};
    idle_feature_ = {LV2_UI__idleInterface, nullptr};
    const LV2_Feature* features[] = {&map_feature_, embedded ? &parent_feature_ : &idle_feature_, &resize_feature_,
                                     &idle_feature_, nullptr};
    LV2UI_Widget widget = nullptr;
    ui_ = descriptor_->instantiate(descriptor_, lv2::kPluginUri, KORVEL_LV2_PATH "/korvel.lv2/", &Write, this,
                                   &widget, features);
    ASSERT_NE(ui_, nullptr);
    widget_ = reinterpret_cast<std::uintptr_t>(widget);
    idle_ = static_cast<const LV2UI_Idle_Interface*>(descriptor_->extension_data(LV2_UI__idleInterface));
    inspect_ = static_cast<const lv2::UiInspect*>(descriptor_->extension_data(lv2::kUiInspectUri));
    ASSERT_NE(idle_, nullptr);
    ASSERT_NE(inspect_, nullptr);
  }

  static void Write(LV2UI_Controller self, std::uint32_t port, std::uint32_t size, std::uint32_t protocol,
                    const void* buffer) {
    auto* test = static_cast<Lv2UiTest*>(self);
    if (port >= lv2::kFirstParameter && port < lv2::kFirstParameter + lv2::kParameterPortCount) {
      // A slider: the float protocol, written into the control port.
      EXPECT_EQ(protocol, 0u);
      EXPECT_EQ(size, sizeof(float));
      test->dsp_->parameter(static_cast<int>(port - lv2::kFirstParameter)) = *static_cast<const float*>(buffer);
      ++test->parameter_writes_;
      return;
    }
    EXPECT_EQ(port, lv2::kMidiIn);
    EXPECT_EQ(protocol, test->event_transfer_);
    EXPECT_EQ(size, lv2_atom_total_size(static_cast<const LV2_Atom*>(buffer)));
    test->dsp_->SendAtom(static_cast<const LV2_Atom*>(buffer));
    ++test->writes_;
  }

  // Blocks of audio, each followed by the UI's idle call, as a host
  // interleaves its audio and UI threads; every block must pass unchanged.
  void Cycle(int blocks = 4) {
    for (int b = 0; b < blocks; ++b) {
      const std::size_t at = (played_ % (kNoise / kBlock)) * kBlock;
      dsp_->Run(&left_[at], &right_[at], kBlock);
      ++played_;
      const auto in_left = left_.begin() + static_cast<std::ptrdiff_t>(at);
      const auto in_right = right_.begin() + static_cast<std::ptrdiff_t>(at);
      if (!std::equal(in_left, in_left + kBlock, dsp_->out_left().begin()) ||
          !std::equal(in_right, in_right + kBlock, dsp_->out_right().begin())) {
        ++altered_blocks_;
      }
      if (ui_ != nullptr) {
        EXPECT_EQ(idle_->idle(ui_), 0);
      }
    }
  }

  std::string UiImage() const {
    std::string text(inspect_->image(ui_, nullptr, 0), '\0');
    inspect_->image(ui_, text.data(), text.size() + 1);
    return text;
  }
  std::string UiStatus() const {
    std::string text(inspect_->status(ui_, nullptr, 0), '\0');
    inspect_->status(ui_, text.data(), text.size() + 1);
    return text;
  }
  // Runs until the UI and the plug-in hold the same module (bounded).
  bool Agree() {
    for (int i = 0; i < 50; ++i) {
      Cycle(1);
      if (UiImage() == dsp_->SavedModuleImage()) return true;
    }
    return false;
  }
  static std::size_t Count(const std::string& text, const std::string& part) {
    std::size_t n = 0;
    for (std::size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++n;
    return n;
  }

  static constexpr std::size_t kNoise = 64 * kBlock;
  testing::VirtualDisplay x_;
  Display* display_ = nullptr;
  unsigned long parent_ = 0;
  std::uintptr_t widget_ = 0;
  std::unique_ptr<World> world_;
  std::unique_ptr<Instance> dsp_;
  void* library_ = nullptr;
  const LV2UI_Descriptor* descriptor_ = nullptr;
  LV2UI_Handle ui_ = nullptr;
  const LV2UI_Idle_Interface* idle_ = nullptr;
  const lv2::UiInspect* inspect_ = nullptr;
  LV2_Feature map_feature_{}, parent_feature_{}, resize_feature_{}, idle_feature_{};
  LV2UI_Resize resize_{};
  std::pair<int, int> asked_size_{0, 0};
  std::uint32_t event_transfer_ = 0;
  int writes_ = 0;
  int parameter_writes_ = 0;
  std::vector<float> left_ = std::vector<float>(kNoise), right_ = std::vector<float>(kNoise);
  std::size_t played_ = 0;
  int altered_blocks_ = 0;
};

TEST_F(Lv2UiTest, ShowsThePluginsModuleAndItsEditsReachThePlugin) {
  dsp_->SendModule(kRunningModule);
  Cycle();
  ASSERT_EQ(Count(dsp_->SavedModuleImage(), "\"type\": 15"), 1u) << "the plug-in took the module";

  OpenUi();
  // Embedded in the host's window, and asked for the size it wants.
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  XSync(display_, False);
  ASSERT_NE(XQueryTree(display_, static_cast<Window>(widget_), &root, &parent, &children, &count), 0);
  if (children != nullptr) XFree(children);
  EXPECT_EQ(parent, parent_);
  EXPECT_GT(asked_size_.first, 0);
  EXPECT_EQ(writes_, 1) << "one Get on opening";
  // The host resizes it through the UI's ui:resize.
  const auto* resize = static_cast<const LV2UI_Resize*>(descriptor_->extension_data(LV2_UI__resize));
  ASSERT_NE(resize, nullptr);
  resize->ui_resize(ui_, 500, 420);
  Cycle(1);
  XWindowAttributes attributes;
  ASSERT_NE(XGetWindowAttributes(display_, static_cast<Window>(widget_), &attributes), 0);
  EXPECT_EQ(attributes.width, 500);
  EXPECT_EQ(attributes.height, 420);

  // An edit before the plug-in's module came would send a module without
  // it: nothing goes, and the plug-in's module then replaces the edit.
  ASSERT_GE(inspect_->add(ui_, kLowpassType, 500, 300), 0);
  idle_->idle(ui_);
  EXPECT_EQ(writes_, 1);
  ASSERT_TRUE(Agree()) << "the UI shows:\n" << UiImage() << "\nthe plug-in holds:\n" << dsp_->SavedModuleImage();
  EXPECT_EQ(UiStatus(), "running here");
  EXPECT_EQ(inspect_->undo_depth(ui_), 0u);

  // An edit made in the UI is the plug-in's module; its echo changes
  // nothing in the UI, whose history stays.
  const int writes_before = writes_;
  ASSERT_GE(inspect_->add(ui_, kHighpassType, 400, 200), 0);
  EXPECT_EQ(writes_, writes_before) << "sent before the idle call";
  idle_->idle(ui_);
  EXPECT_GT(writes_, writes_before);
  ASSERT_TRUE(Agree()) << "the UI shows:\n" << UiImage() << "\nthe plug-in holds:\n" << dsp_->SavedModuleImage();
  Cycle(8);
  EXPECT_EQ(Count(dsp_->SavedModuleImage(), "\"type\": 16"), 1u);
  EXPECT_EQ(inspect_->undo_depth(ui_), 1u) << "the echo of the UI's own edit dropped its history";

  // Edits faster than the round trip: the echo of the first comes while
  // the UI shows the second, which must stay.
  // The first is taken in one block and echoed in the next, which also
  // takes the second.
  ASSERT_GE(inspect_->add(ui_, kLowpassType, 500, 300), 0);
  idle_->idle(ui_);
  dsp_->Run(&left_[0], &right_[0], kBlock);
  ASSERT_GE(inspect_->add(ui_, kBandpassType, 600, 300), 0);
  idle_->idle(ui_);
  dsp_->Run(&left_[0], &right_[0], kBlock);
  EXPECT_EQ(Count(UiImage(), "\"type\": 17"), 1u) << "the echo of the first edit took back the second";
  ASSERT_TRUE(Agree());
  Cycle(8);
  EXPECT_EQ(Count(UiImage(), "\"type\": 17"), 1u) << "an old echo took back a newer edit";
  EXPECT_EQ(UiImage(), dsp_->SavedModuleImage());
  EXPECT_EQ(inspect_->undo_depth(ui_), 3u);
  EXPECT_EQ(altered_blocks_, 0) << "the audio through IN->OUT changed while the UI edited";
}

TEST_F(Lv2UiTest, ModuleLargerThanOnePieceTravelsBothWays) {
  OpenUi();
  ASSERT_TRUE(Agree());
  // Enough boxes that the module goes in several pieces each way.
  for (int i = 0; i < 40; ++i) ASSERT_GE(inspect_->add(ui_, kLowpassType, 20 + (i % 8) * 120, 200 + (i / 8) * 90), 0);
  ASSERT_GT(UiImage().size(), std::size_t{lv2::kPieceBytes});
  const int writes_before = writes_;
  idle_->idle(ui_);
  EXPECT_EQ(writes_ - writes_before, 2) << "the burst of edits goes once, in two pieces";
  ASSERT_TRUE(Agree());
  EXPECT_EQ(Count(dsp_->SavedModuleImage(), "\"type\": 15"), 40u);
  EXPECT_EQ(inspect_->undo_depth(ui_), 40u);
  EXPECT_EQ(altered_blocks_, 0);
}

TEST_F(Lv2UiTest, FollowsAPresetAndShowsTheReasonForARefusal) {
  OpenUi();
  ASSERT_TRUE(Agree());
  ASSERT_GE(inspect_->add(ui_, kLowpassType, 300, 200), 0);
  ASSERT_TRUE(Agree());

  // A preset the host restores replaces what the UI shows, and its
  // history, which no longer leads there.
  LilvState* preset = world_->PresetState(std::string(lv2::kPresetUriPrefix) + "echo");
  ASSERT_NE(preset, nullptr);
  dsp_->Restore(preset);
  lilv_state_free(preset);
  ASSERT_TRUE(Agree()) << "the UI did not follow the preset";
  EXPECT_EQ(inspect_->undo_depth(ui_), 0u);

  // A module the plug-in refuses (sent here by another UI or a script):
  // the UI names the reason in its status line and keeps what it shows.
  const std::string shown = UiImage();
  dsp_->SendModule("{\"format\": \"korvel-module\", \"version\": 1, \"components\": 5}");
  Cycle(4);
  EXPECT_NE(UiStatus().find("couldn't take the module"), std::string::npos) << UiStatus();
  EXPECT_EQ(UiImage(), shown);
  // The next module taken ends the refusal's line.
  ASSERT_GE(inspect_->add(ui_, kHighpassType, 300, 300), 0);
  ASSERT_TRUE(Agree());
  Cycle(4);  // the echo
  EXPECT_EQ(UiStatus(), "Echo");
}

// A host may destroy its window, and the UI's with it, before it closes the
// UI: the UI draws nothing more on it and closes without an X error (which
// would end the host).
TEST_F(Lv2UiTest, HostWindowDestroyedBeforeTheUiCloses) {
  OpenUi();
  ASSERT_TRUE(Agree());
  XDestroyWindow(display_, parent_);
  XSync(display_, False);
  ASSERT_GE(inspect_->add(ui_, kLowpassType, 300, 200), 0);  // redraws
  Cycle(4);
  descriptor_->cleanup(ui_);
  ui_ = nullptr;
  Cycle(2);  // the plug-in plays on
  EXPECT_EQ(altered_blocks_, 0);
}

// Without a parent the UI is a window of its own; the window manager's
// close hides it, and idle() tells the host.
TEST_F(Lv2UiTest, WindowOfItsOwnClosesThroughIdle) {
  OpenUi(false);
  ASSERT_TRUE(Agree());
  Window root = 0, parent = 0, *children = nullptr;
  unsigned count = 0;
  ASSERT_NE(XQueryTree(display_, static_cast<Window>(widget_), &root, &parent, &children, &count), 0);
  if (children != nullptr) XFree(children);
  EXPECT_EQ(parent, root);
  XEvent close = {};
  close.xclient.type = ClientMessage;
  close.xclient.window = static_cast<Window>(widget_);
  close.xclient.message_type = XInternAtom(display_, "WM_PROTOCOLS", False);
  close.xclient.format = 32;
  close.xclient.data.l[0] = static_cast<long>(XInternAtom(display_, "WM_DELETE_WINDOW", False));
  XSendEvent(display_, static_cast<Window>(widget_), False, 0, &close);
  XSync(display_, False);
  EXPECT_EQ(idle_->idle(ui_), 1);
  XWindowAttributes attributes;
  ASSERT_NE(XGetWindowAttributes(display_, static_cast<Window>(widget_), &attributes), 0);
  EXPECT_EQ(attributes.map_state, IsUnmapped);
}

}  // namespace
}  // namespace korvel

namespace korvel {
namespace {

// A pointer event sent straight to the UI's window, as the server would.
void SendPointer(Display* display, Window window, int type, int x, int y) {
  XEvent event = {};
  event.type = type;
  if (type == MotionNotify) {
    event.xmotion.window = window;
    event.xmotion.x = x;
    event.xmotion.y = y;
    event.xmotion.state = Button1Mask;
  } else {
    event.xbutton.window = window;
    event.xbutton.x = x;
    event.xbutton.y = y;
    event.xbutton.button = Button1;
  }
  XSendEvent(display, window, False, 0, &event);
  XSync(display, False);
}

// A key sent straight to the UI's window.
void SendKey(Display* display, Window window, KeySym key) {
  XEvent event = {};
  event.type = KeyPress;
  event.xkey.display = display;
  event.xkey.window = window;
  event.xkey.keycode = XKeysymToKeycode(display, key);
  XSendEvent(display, window, False, 0, &event);
  XSync(display, False);
}

TEST_F(Lv2UiTest, TheInlineFormsEditReachesThePlugin) {
  dsp_->SendModule(kRunningModule);
  Cycle();
  OpenUi();
  ASSERT_TRUE(Agree());
  // Two presses on the LP filter, 100 ms apart by the server's clock.
  const auto window = static_cast<Window>(widget_);
  for (const unsigned long time : {1000UL, 1100UL}) {
    for (const int type : {ButtonPress, ButtonRelease}) {
      XEvent event = {};
      event.type = type;
      event.xbutton.window = window;
      event.xbutton.x = 160;
      event.xbutton.y = 210;
      event.xbutton.button = Button1;
      event.xbutton.time = time;
      XSendEvent(display_, window, False, 0, &event);
    }
  }
  XSync(display_, False);
  Cycle(1);
  for (int i = 0; i < 12; ++i) SendKey(display_, window, XK_BackSpace);
  for (const KeySym key : {XK_l, XK_o, XK_w}) SendKey(display_, window, key);
  SendKey(display_, window, XK_Return);
  Cycle(1);
  ASSERT_TRUE(Agree());
  EXPECT_EQ(Count(dsp_->SavedModuleImage(), "\"label\": \"low\""), 1u) << dsp_->SavedModuleImage();
  EXPECT_EQ(inspect_->undo_depth(ui_), 1u);
  EXPECT_EQ(altered_blocks_, 0);
}

TEST_F(Lv2UiTest, ASliderDragReachesTheParameterPortAndTheHostsValuesMoveIt) {
  dsp_->SendModule(kRunningModule);
  Cycle();
  OpenUi();
  ASSERT_TRUE(Agree());
  XWindowAttributes window;
  ASSERT_NE(XGetWindowAttributes(display_, static_cast<Window>(widget_), &window), 0);
  // Parameter 3's bar, dragged from a fifth of the way to three quarters.
  const int bar = window.width - x11_editor::kStripWidth + x11_editor::kSliderLeft;
  const int y = 4 + 2 * x11_editor::kSliderRowHeight + x11_editor::kSliderRowHeight / 2;
  const auto at = [&](double value) { return bar + static_cast<int>(value * x11_editor::kSliderWidth); };
  const int writes_before = writes_;
  const float neighbour = dsp_->parameter(1);
  SendPointer(display_, static_cast<Window>(widget_), ButtonPress, at(0.2), y);
  SendPointer(display_, static_cast<Window>(widget_), MotionNotify, at(0.5), y);
  SendPointer(display_, static_cast<Window>(widget_), MotionNotify, at(0.75), y);
  SendPointer(display_, static_cast<Window>(widget_), ButtonRelease, at(0.75), y);
  Cycle(2);
  EXPECT_EQ(parameter_writes_, 3) << "the press and each move";
  EXPECT_FLOAT_EQ(dsp_->parameter(2), 0.75f);
  EXPECT_FLOAT_EQ(inspect_->slider(ui_, 2), 0.75f);
  EXPECT_FLOAT_EQ(dsp_->parameter(1), neighbour) << "its neighbours stay";
  EXPECT_EQ(writes_, writes_before) << "a slider is no module edit";
  // Past the bar's end: the top of the range, no further.
  SendPointer(display_, static_cast<Window>(widget_), ButtonPress, at(0.9), y);
  SendPointer(display_, static_cast<Window>(widget_), MotionNotify, at(1.0) + 40, y);
  SendPointer(display_, static_cast<Window>(widget_), ButtonRelease, at(1.0) + 40, y);
  Cycle(1);
  EXPECT_FLOAT_EQ(dsp_->parameter(2), 1.0f);

  // The host's automation moves a slider and writes nothing back.
  const int parameter_writes = parameter_writes_;
  const float automated = 0.4f;
  descriptor_->port_event(ui_, lv2::kFirstParameter + 24, sizeof automated, 0, &automated);
  const float wrong_protocol = 0.9f;
  descriptor_->port_event(ui_, lv2::kFirstParameter + 23, sizeof wrong_protocol, event_transfer_, &wrong_protocol);
  Cycle(1);
  EXPECT_FLOAT_EQ(inspect_->slider(ui_, 24), 0.4f);
  EXPECT_FLOAT_EQ(inspect_->slider(ui_, 23), 0.0f) << "only float protocol values are port values";
  EXPECT_EQ(parameter_writes_, parameter_writes);
  EXPECT_EQ(altered_blocks_, 0);
}

}  // namespace
}  // namespace korvel
