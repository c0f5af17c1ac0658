// The modal dialogs, driven from a timer while their modal loop runs: the
// module texts, component info, component settings with their effect on
// rendering, and the parameter properties.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <mutex>
#include <string>

#include "components/biquad_filters.h"
#include "components/value_sources.h"
#include "resources/resource.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

std::string Text(HWND dialog, int control) {
  char text[2048] = {};
  GetDlgItemTextA(dialog, control, text, sizeof text);
  return text;
}

void SetText(HWND dialog, int control, const std::string& text) {
  SetDlgItemTextA(dialog, control, text.c_str());
}

void Press(HWND dialog, int control) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

class DialogTest : public EditorTest {
 protected:
  void Select(int slot) {
    const ComponentDescriptor& d = *engine->descriptor[slot];
    Mouse(WM_LBUTTONDOWN, d.x + 30, d.y + 3);
    Mouse(WM_LBUTTONUP, d.x + 30, d.y + 3);
    ASSERT_EQ(engine->selected_slot, slot);
  }
  void DoubleClick(int slot) {
    const ComponentDescriptor& d = *engine->descriptor[slot];
    Mouse(WM_LBUTTONDOWN, d.x + 30, d.y + 3);
    Mouse(WM_LBUTTONUP, d.x + 30, d.y + 3);
    Mouse(WM_LBUTTONDBLCLK, d.x + 30, d.y + 3);
    Mouse(WM_LBUTTONUP, d.x + 30, d.y + 3);
  }
  void SetConstant(int slot, double value) {
    engine->ChangeRecord(slot, [value](ComponentRecord& r, int) { static_cast<ConstantRecord&>(r).value = value; });
  }
  // One block of `frames` through the patch, every input value `in`.
  std::vector<double> Render(int frames, double in) {
    std::lock_guard lock(engine->graph_mutex());
    for (int i = 0; i < 2 * frames; ++i) engine->input_buffer[i] = in;
    const double* out = engine->ProcessBlock(static_cast<std::uint32_t>(frames));
    if (out == nullptr) return std::vector<double>(2 * frames, 0.0);
    return std::vector<double>(out, out + 2 * frames);
  }
  void ExpectNoTimeout() { EXPECT_FALSE(ui.dialog_timed_out); }
};

TEST_F(DialogTest, EnsembleInformationShowsTheTextsAndStoresThemOnlyOnOk) {
  std::string shown[3];
  ui.drivers.push_back([&](HWND dialog) {
    shown[0] = Text(dialog, IDC_ENSEMBLE_NAME);
    shown[1] = Text(dialog, IDC_ENSEMBLE_AUTHOR);
    shown[2] = Text(dialog, IDC_ENSEMBLE_DESCRIPTION);
    Screenshot(dialog, "dialog-ensemble-information");
    SetText(dialog, IDC_ENSEMBLE_NAME, "Discarded");
    Press(dialog, IDCANCEL);
  });
  Command(ID_MODULE_INFO);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_ENSEMBLE_INFO);
  EXPECT_EQ(shown[0], "Untitled Korvel");
  EXPECT_EQ(shown[1], "");
  EXPECT_EQ(shown[2], "");
  EXPECT_STREQ(engine->name, "Untitled Korvel");

  ui.drivers.push_back([&](HWND dialog) {
    SetText(dialog, IDC_ENSEMBLE_NAME, "Night Drive");
    SetText(dialog, IDC_ENSEMBLE_AUTHOR, "M. Ferrant");
    SetText(dialog, IDC_ENSEMBLE_DESCRIPTION, "Two filters\r\nand a clip");
    Press(dialog, IDOK);
  });
  Command(ID_MODULE_INFO);
  EXPECT_STREQ(engine->name, "Night Drive");
  EXPECT_STREQ(engine->author, "M. Ferrant");
  EXPECT_STREQ(engine->description, "Two filters\r\nand a clip");

  // The close box stores nothing either.
  ui.drivers.push_back([&](HWND dialog) {
    SetText(dialog, IDC_ENSEMBLE_AUTHOR, "Nobody");
    SendMessageA(dialog, WM_CLOSE, 0, 0);
  });
  Command(ID_MODULE_INFO);
  EXPECT_STREQ(engine->author, "M. Ferrant");
  ExpectNoTimeout();
}

TEST_F(DialogTest, ALongModuleNameIsCutToItsCapacity) {
  const std::string name(300, 'n');
  ui.drivers.push_back([&](HWND dialog) {
    SetText(dialog, IDC_ENSEMBLE_NAME, name);
    SetText(dialog, IDC_ENSEMBLE_DESCRIPTION, std::string(1500, 'd'));
    Press(dialog, IDOK);
  });
  Command(ID_MODULE_INFO);
  EXPECT_EQ(std::string(engine->name), name.substr(0, 255));
  EXPECT_EQ(std::string(engine->description).size(), 1023u);
  ExpectNoTimeout();
}

TEST_F(DialogTest, ComponentInfoShowsTheSelectedComponentsInfoText) {
  Command(ID_COMPONENT_INFO);  // nothing selected: nothing opens
  EXPECT_TRUE(ui.dialogs.empty());

  const int clip = Add(ID_CLIPPING, 100, 100);
  Select(clip);
  std::string info;
  ui.drivers.push_back([&](HWND dialog) {
    info = Text(dialog, IDC_COMPONENT_INFO_TEXT);
    Screenshot(dialog, "dialog-component-info");
    Press(dialog, IDOK);
  });
  Command(ID_COMPONENT_INFO);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_COMPONENT_INFO);
  std::vector<std::string> lines;
  for (std::size_t at = 0; at <= info.size();) {
    const std::size_t end = std::min(info.find("\r\n", at), info.size());
    if (end > at) lines.push_back(info.substr(at, end - at));
    at = end + 2;
  }
  ASSERT_EQ(lines.size(), 5u) << info;
  EXPECT_EQ(lines[0], "DISTORT CLIP");
  EXPECT_EQ(lines[2], "in1: input to be clipped");
  EXPECT_EQ(lines[4], "out1: result of clipping");
  ExpectNoTimeout();
}

TEST_F(DialogTest, ConstantSettingsRefuseANonNumberAndChangeWhatARenderUses) {
  const int in = Add(ID_INPUT_COMPONENT, 20, 20);
  const int constant = Add(ID_CONSTANT, 20, 200);
  const int add = Add(ID_ADD, 200, 100);
  const int out = Add(ID_OUTPUT_COMPONENT, 400, 100);
  DragWire(in, 0, add, 0);
  DragWire(constant, 0, add, 1);
  DragWire(add, 0, out, 0);
  SetConstant(constant, 1.0);
  EXPECT_DOUBLE_EQ(Render(16, 100.0)[5], 101.0);

  std::string first_value;
  bool stayed_open = false;
  ui.drivers.push_back([&](HWND dialog) {
    first_value = Text(dialog, IDC_CONSTANT_VALUE);
    SetText(dialog, IDC_CONSTANT_VALUE, "two and a half");
    Press(dialog, IDOK);
    stayed_open = IsWindow(dialog) && IsWindowVisible(dialog);
    SetText(dialog, IDC_LABEL, "offset");
    SetText(dialog, IDC_CONSTANT_VALUE, " -2.5 ");
    Screenshot(dialog, "dialog-constant-settings");
    Press(dialog, IDOK);
  });
  DoubleClick(constant);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_CONSTANT_SETTINGS);
  EXPECT_EQ(first_value, "1");
  EXPECT_TRUE(stayed_open);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "\"two and a half\" is not a number.");
  EXPECT_EQ(ui.messages[0].title, "Constant Settings");
  EXPECT_STREQ(engine->descriptor[constant]->label, "offset");
  EXPECT_DOUBLE_EQ(static_cast<ConstantRecord*>(engine->record[constant])->value, -2.5);
  EXPECT_DOUBLE_EQ(Render(16, 100.0)[5], 97.5);

  // Cancel keeps both.
  ui.drivers.push_back([&](HWND dialog) {
    SetText(dialog, IDC_LABEL, "ignored");
    SetText(dialog, IDC_CONSTANT_VALUE, "9");
    Press(dialog, IDCANCEL);
  });
  Select(constant);
  Command(ID_COMPONENT_SETTINGS);
  EXPECT_STREQ(engine->descriptor[constant]->label, "offset");
  EXPECT_DOUBLE_EQ(static_cast<ConstantRecord*>(engine->record[constant])->value, -2.5);
  ExpectNoTimeout();
}

TEST_F(DialogTest, FilterResetBringsAPoisonedFilterBackToSilence) {
  const int in = Add(ID_INPUT_COMPONENT, 20, 20);
  const int cutoff = Add(ID_CONSTANT, 20, 200);
  const int resonance = Add(ID_CONSTANT, 20, 260);
  const int lp = Add(ID_LOWPASS, 200, 100);
  const int out = Add(ID_OUTPUT_COMPONENT, 400, 100);
  DragWire(in, 0, lp, 0);
  DragWire(cutoff, 0, lp, 1);
  DragWire(resonance, 0, lp, 2);
  DragWire(lp, 0, out, 0);
  SetConstant(cutoff, 1000.0);
  SetConstant(resonance, 1.0);
  Render(32, std::numeric_limits<double>::quiet_NaN());
  ASSERT_TRUE(std::isnan(Render(32, 0.0)[10]));  // the history holds the NaN

  ui.drivers.push_back([&](HWND dialog) {
    Screenshot(dialog, "dialog-filter-settings");
    Press(dialog, IDC_FILTER_RESET);
    Press(dialog, IDCANCEL);
  });
  DoubleClick(lp);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_FILTER_SETTINGS);
  for (double v : Render(32, 0.0)) ASSERT_EQ(v, 0.0);
  ExpectNoTimeout();
}

TEST_F(DialogTest, ResetDelaysSilencesAnEchosTail) {
  const int in = Add(ID_INPUT_COMPONENT, 20, 20);
  const int delay = Add(ID_CONSTANT, 20, 200);
  const int set = Add(ID_DELAY_SET, 200, 60);
  const int get = Add(ID_DELAY_GET, 350, 60);
  const int out = Add(ID_OUTPUT_COMPONENT, 500, 60);
  DragWire(in, 0, set, 0);
  DragWire(delay, 0, set, 1);
  DragWire(set, 0, get, 0);
  DragWire(get, 0, out, 0);
  SetConstant(delay, 100.0);
  auto peak = [](const std::vector<double>& block) {
    double m = 0.0;
    for (double v : block) m = std::max(m, std::abs(v));
    return m;
  };
  Render(64, 1000.0);
  EXPECT_GT(peak(Render(64, 0.0)), 500.0);  // the echo arrives in the next block

  std::vector<std::string> lines;
  ui.drivers.push_back([&](HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_DELAY_LINES);
    for (int i = 0; i < SendMessageA(list, LB_GETCOUNT, 0, 0); ++i) {
      char entry[128] = {};
      SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
      lines.push_back(entry);
    }
    Screenshot(dialog, "dialog-delay-settings");
    Press(dialog, IDC_DELAY_RESET);
    Press(dialog, IDOK);
  });
  Render(64, 0.0);
  Render(64, 1000.0);
  DoubleClick(get);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_DELAY_SETTINGS);
  EXPECT_EQ(lines.size(), 4u);
  EXPECT_EQ(peak(Render(64, 0.0)), 0.0);
  ExpectNoTimeout();
}

TEST_F(DialogTest, ComponentSettingsStoreTheLabelCutTo127Characters) {
  const int r = Add(ID_REPLICATOR, 100, 100);
  ui.drivers.push_back([&](HWND dialog) {
    EXPECT_EQ(Text(dialog, IDC_LABEL), "Replicator");
    Screenshot(dialog, "dialog-component-settings");
    SetText(dialog, IDC_LABEL, std::string(200, 'L'));
    Press(dialog, IDOK);
  });
  Select(r);
  Command(ID_COMPONENT_SETTINGS);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_COMPONENT_SETTINGS);
  EXPECT_EQ(std::string(engine->descriptor[r]->label), std::string(127, 'L'));

  Mouse(WM_LBUTTONDBLCLK, 400, 400);  // on nothing: nothing opens
  EXPECT_EQ(ui.dialogs.size(), 1u);
  ExpectNoTimeout();
}

TEST_F(DialogTest, ParameterPropertiesStoreNamesAndKindsForTheHost) {
  std::strcpy(parameter_names[1], "Drive");
  engine->parameter_kinds[1] = 3;
  engine->parameter_kinds[7] = 6;  // a kind the list cannot name
  std::string shown;
  int shown_kind = -1;
  ui.drivers.push_back([&](HWND dialog) {
    shown = Text(dialog, IDC_PARAMETER_NAME_FIRST + 1);
    shown_kind = static_cast<int>(SendDlgItemMessageA(dialog, IDC_PARAMETER_KIND_FIRST + 1, CB_GETCURSEL, 0, 0));
    SetText(dialog, IDC_PARAMETER_NAME_FIRST, "Cutoff");
    SetText(dialog, IDC_PARAMETER_NAME_FIRST + 24, std::string(70, 'p'));
    SendDlgItemMessageA(dialog, IDC_PARAMETER_KIND_FIRST, CB_SETCURSEL, 1, 0);
    SendDlgItemMessageA(dialog, IDC_PARAMETER_KIND_LATE_FIRST + 4, CB_SETCURSEL, 2, 0);
    Screenshot(dialog, "dialog-parameter-information");
    Press(dialog, IDOK);
  });
  Command(ID_PARAMETER_PROPERTIES);
  ASSERT_EQ(ui.dialogs.size(), 1u);
  EXPECT_EQ(ui.dialogs[0], IDD_PARAMETER_INFO);
  EXPECT_EQ(shown, "Drive");
  EXPECT_EQ(shown_kind, 3);
  EXPECT_STREQ(parameter_names[0], "Cutoff");
  EXPECT_STREQ(parameter_names[1], "Drive");
  EXPECT_EQ(std::string(parameter_names[24]), std::string(63, 'p'));
  EXPECT_EQ(engine->parameter_kinds[0], 1u);
  EXPECT_EQ(engine->parameter_kinds[1], 3u);
  EXPECT_EQ(engine->parameter_kinds[7], 6u);
  EXPECT_EQ(engine->parameter_kinds[24], 2u);

  ui.drivers.push_back([&](HWND dialog) {
    SetText(dialog, IDC_PARAMETER_NAME_FIRST, "Ignored");
    Press(dialog, IDCANCEL);
  });
  Command(ID_PARAMETER_PROPERTIES);
  EXPECT_STREQ(parameter_names[0], "Cutoff");
  ExpectNoTimeout();
}

}  // namespace
}  // namespace korvel::testing
