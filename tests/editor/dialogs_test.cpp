// The modal dialogs, driven from a timer while their modal loop runs: the
// module texts, component info and settings with their effect on
// rendering, and the parameter names.
#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <sstream>

#include "components/delays.h"
#include "components/tables.h"
#include "components/value_sources.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

std::string Text(HWND dialog, int control) {
  char text[2048] = {};
  GetDlgItemTextA(dialog, control, text, sizeof text);
  return text;
}

void Press(HWND dialog, int control) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED),
               reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

class DialogTest : public EditorTest {
 protected:
  void DoubleClick(int slot) {
    Click(D(slot).x + 30, D(slot).y + 3);
    Click(D(slot).x + 30, D(slot).y + 3, WM_LBUTTONDBLCLK);
  }
  // Opens the box's settings and presses `button` there; the dialog is
  // then cancelled.
  void PressInSettings(int slot, int button, const char* screenshot) {
    ui.drivers.push_back([=](HWND dialog) {
      Screenshot(dialog, screenshot);
      Press(dialog, button);
    });
    DoubleClick(slot);
  }
  void SetConstant(int slot, double value) {
    engine->RenewRecord(slot, [value](ComponentRecord& r, const ComponentRecord&, int) {
      static_cast<ConstantRecord&>(r).value = value;
    });
  }
  // The peak of one block of `frames` through the patch, every input
  // value `in`; NaN if any output is.
  double Render(int frames, double in) {
    std::fill_n(engine->InputBuffer(), 2 * frames, in);
    const double* out = engine->ProcessBlock(static_cast<std::uint32_t>(frames));
    double peak = 0.0;
    for (int i = 0; i < 2 * frames; ++i) peak = std::isnan(out[i]) ? out[i] : std::max(peak, std::abs(out[i]));
    return peak;
  }
};

TEST_F(DialogTest, EnsembleInformationShowsTheTextsAndStoresThemOnlyOnOk) {
  std::string shown;
  std::vector<std::string> factors;
  ui.drivers.push_back([&](HWND dialog) {
    shown = Text(dialog, IDC_ENSEMBLE_NAME) + "|" + Text(dialog, IDC_ENSEMBLE_AUTHOR) + "|" +
            Text(dialog, IDC_ENSEMBLE_DESCRIPTION) + "|" + Text(dialog, IDC_OVERSAMPLING);
    HWND list = GetDlgItem(dialog, IDC_OVERSAMPLING);
    for (LRESULT i = 0, n = SendMessageA(list, CB_GETCOUNT, 0, 0); i < n; ++i) {
      char entry[128] = {};
      SendMessageA(list, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
      factors.push_back(entry);
    }
    Screenshot(dialog, "dialog-ensemble-information");
    SetDlgItemTextA(dialog, IDC_ENSEMBLE_NAME, "Discarded");
    SendMessageA(list, CB_SETCURSEL, 4, 0);
    Press(dialog, IDCANCEL);
  });
  const std::string name(300, 'n');
  ui.drivers.push_back([&](HWND dialog) {
    SetDlgItemTextA(dialog, IDC_ENSEMBLE_NAME, name.c_str());
    SetDlgItemTextA(dialog, IDC_ENSEMBLE_AUTHOR, "M. Ferrant");
    SetDlgItemTextA(dialog, IDC_ENSEMBLE_DESCRIPTION, "Two filters\r\nand a clip");
    SendDlgItemMessageA(dialog, IDC_OVERSAMPLING, CB_SETCURSEL, 2, 0);
    Press(dialog, IDOK);
  });
  Command(ID_MODULE_INFO);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_ENSEMBLE_INFO});
  EXPECT_EQ(shown, "Untitled Korvel|||None (the host's rate)");
  EXPECT_EQ(factors, (std::vector<std::string>{"None (the host's rate)", "2x (latency 79 frames)",
                                               "4x (latency 86 frames)", "8x (latency 89 frames)",
                                               "16x (latency 90 frames)"}));
  EXPECT_EQ(engine->ModuleName(), "Untitled Korvel");
  EXPECT_EQ(engine->Oversampling(), 1) << "Cancel changes nothing";
  Command(ID_MODULE_INFO);
  EXPECT_EQ(engine->ModuleName(), name.substr(0, 255));
  EXPECT_EQ(engine->ModuleAuthor(), "M. Ferrant");
  EXPECT_EQ(engine->ModuleDescription(), "Two filters\r\nand a clip");
  EXPECT_EQ(engine->Oversampling(), 4);
}

// Delay Tap is in the Delay menu; Component Info says when a constant
// delay reaches past the end of the delay line.
TEST_F(DialogTest, DelayTapComesFromItsMenuAndInfoTellsOfADelayPastTheLine) {
  const int tap = Add(ID_DELAY_TAP, 100, 100);
  ASSERT_EQ(D(tap).type, kDelayTapType);
  const int delay = Add(ID_CONSTANT, 100, 200);
  SetConstant(delay, 3e6);
  ASSERT_TRUE(engine->Connect(delay, 0, tap, 1));
  Click(D(tap).x + 30, D(tap).y + 3);
  std::string info;
  ui.drivers.push_back([&](HWND dialog) {
    info = Text(dialog, IDC_COMPONENT_INFO_TEXT);
    Press(dialog, IDOK);
  });
  Command(ID_COMPONENT_INFO);
  EXPECT_NE(info.find("\r\n\r\nNote: the delay of 3,000,000 frames is longer than the delay line (2,097,152 "
                      "frames, 47.6 s at 44,100 Hz), so the tap reads 2,097,148 frames back."),
            std::string::npos)
      << info;
}

TEST_F(DialogTest, ComponentInfoAndSettingsActOnTheSelectedComponent) {
  const int clip = Add(ID_CLIPPING, 100, 100);
  Click(D(clip).x + 30, D(clip).y + 3);
  std::string info;
  ui.drivers.push_back([&](HWND dialog) {
    info = Text(dialog, IDC_COMPONENT_INFO_TEXT);
    Screenshot(dialog, "dialog-component-info");
    Press(dialog, IDOK);
  });
  ui.drivers.push_back([&](HWND dialog) {
    Screenshot(dialog, "dialog-component-settings");
    SetDlgItemTextA(dialog, IDC_LABEL, std::string(200, 'L').c_str());
    Press(dialog, IDOK);
  });
  Command(ID_COMPONENT_INFO);
  Command(ID_COMPONENT_SETTINGS);
  EXPECT_EQ(ui.dialogs, (std::vector<int>{IDD_COMPONENT_INFO, IDD_COMPONENT_SETTINGS}));
  std::istringstream text(info);
  int lines = 0;
  for (std::string line; std::getline(text, line);) lines += line != "\r";
  EXPECT_EQ(lines, 5) << info;
  EXPECT_EQ(info.rfind("DISTORT CLIP\r\n", 0), 0u);
  EXPECT_EQ(std::string(D(clip).label), std::string(127, 'L'));
}

TEST_F(DialogTest, ConstantSettingsRefuseANonNumberAndChangeWhatARenderUses) {
  const std::vector<int> s = Build({{ID_INPUT_COMPONENT, 20, 20}, {ID_CONSTANT, 20, 200}, {ID_ADD, 200, 100},
                                    {ID_OUTPUT_COMPONENT, 400, 100}},
                                   {{0, 0, 2, 0}, {1, 0, 2, 1}, {2, 0, 3, 0}});
  const int constant = s[1];
  SetConstant(constant, 1.0);
  EXPECT_DOUBLE_EQ(Render(16, 100.0), 101.0);
  std::string first_value;
  ui.drivers.push_back([&](HWND dialog) {
    first_value = Text(dialog, IDC_CONSTANT_VALUE);
    SetDlgItemTextA(dialog, IDC_CONSTANT_VALUE, "two and a half");
    Press(dialog, IDOK);
    EXPECT_TRUE(IsWindowVisible(dialog));  // refused: still open
    SetDlgItemTextA(dialog, IDC_LABEL, "offset");
    SetDlgItemTextA(dialog, IDC_CONSTANT_VALUE, " -2.5 ");
    Screenshot(dialog, "dialog-constant-settings");
    Press(dialog, IDOK);
  });
  DoubleClick(constant);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_CONSTANT_SETTINGS});
  EXPECT_EQ(first_value, "1");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "\"two and a half\" is not a number.");
  EXPECT_STREQ(D(constant).label, "offset");
  EXPECT_DOUBLE_EQ(Render(16, 100.0), 97.5);
}

// A filter clears a non-finite history by itself; Reset clears any history.
TEST_F(DialogTest, FilterResetSilencesAFiltersTail) {
  const std::vector<int> s = Build({{ID_INPUT_COMPONENT, 20, 20}, {ID_CONSTANT, 20, 200}, {ID_CONSTANT, 20, 260},
                                    {ID_LOWPASS, 200, 100}, {ID_OUTPUT_COMPONENT, 400, 100}},
                                   {{0, 0, 3, 0}, {1, 0, 3, 1}, {2, 0, 3, 2}, {3, 0, 4, 0}});
  SetConstant(s[1], 1000.0);
  SetConstant(s[2], 1.0);
  Render(32, 30000.0);
  ASSERT_GT(Render(32, 0.0), 100.0);  // the history rings on
  Render(32, 30000.0);
  PressInSettings(s[3], IDC_FILTER_RESET, "dialog-filter-settings");
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_FILTER_SETTINGS});
  EXPECT_EQ(Render(32, 0.0), 0.0);
}

TEST_F(DialogTest, ResetDelaysSilencesAnEchosTail) {
  const std::vector<int> s = Build({{ID_INPUT_COMPONENT, 20, 20}, {ID_CONSTANT, 20, 200}, {ID_DELAY_SET, 200, 60},
                                    {ID_DELAY_GET, 350, 60}, {ID_OUTPUT_COMPONENT, 500, 60}},
                                   {{0, 0, 2, 0}, {1, 0, 2, 1}, {2, 0, 3, 0}, {3, 0, 4, 0}});
  SetConstant(s[1], 100.0);
  Render(64, 1000.0);
  EXPECT_GT(Render(64, 0.0), 500.0);  // the echo arrives in the next block
  Render(64, 1000.0);
  PressInSettings(s[3], IDC_DELAY_RESET, "dialog-delay-settings");
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_DELAY_SETTINGS});
  EXPECT_EQ(Render(64, 0.0), 0.0);
}

TEST_F(DialogTest, ParameterInformationHandsNamesAndKindsToTheEngine) {
  std::strcpy(parameter_names[1], "Drive");
  std::string shown;
  ui.drivers.push_back([&](HWND dialog) {
    shown = Text(dialog, IDC_PARAMETER_NAME_FIRST + 1);
    SetDlgItemTextA(dialog, IDC_PARAMETER_NAME_FIRST, "Cutoff");
    SetDlgItemTextA(dialog, IDC_PARAMETER_NAME_FIRST + 24, std::string(70, 'p').c_str());
    SendDlgItemMessageA(dialog, IDC_PARAMETER_KIND_LATE_FIRST + 4, CB_SETCURSEL, 2, 0);
    Screenshot(dialog, "dialog-parameter-information");
    Press(dialog, IDOK);
  });
  Command(ID_PARAMETER_PROPERTIES);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_PARAMETER_INFO});
  EXPECT_EQ(shown, "Drive");
  EXPECT_STREQ(parameter_names[0], "Cutoff");
  EXPECT_STREQ(parameter_names[1], "Drive");
  EXPECT_EQ(std::string(parameter_names[24]), std::string(63, 'p'));
  EXPECT_EQ(engine->ParameterKind(24), 2u);
}

// The MIDI controller row: a parameter's controller chosen from the list or
// learned from the next Control Change the module receives; stored on OK
// only.
TEST_F(DialogTest, ParameterInformationBindsControllersByChoiceAndByLearning) {
  const auto choose = [](HWND dialog, int control, int index) {
    SendDlgItemMessageA(dialog, control, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
  };
  std::strcpy(parameter_names[2], "Cutoff");
  engine->Controllers().Set(4, 1);
  std::string entry, learned;
  LRESULT shown_for_5 = -1, learned_index = -1;
  ui.drivers.push_back([&](HWND dialog) {
    choose(dialog, IDC_CONTROLLER_PARAMETER, 2);
    entry = Text(dialog, IDC_CONTROLLER_PARAMETER);
    choose(dialog, IDC_CONTROLLER_NUMBER, 12);  // "11", after "None"
    choose(dialog, IDC_CONTROLLER_PARAMETER, 4);
    shown_for_5 = SendDlgItemMessageA(dialog, IDC_CONTROLLER_NUMBER, CB_GETCURSEL, 0, 0);
    Press(dialog, IDC_CONTROLLER_LEARN);
    SendMessageA(dialog, WM_TIMER, 1, 0);  // nothing received yet: still waiting
    engine->Controllers().Apply(74, 100, nullptr);  // as the audio thread would
    SendMessageA(dialog, WM_TIMER, 1, 0);
    learned = Text(dialog, IDC_CONTROLLER_STATUS);
    learned_index = SendDlgItemMessageA(dialog, IDC_CONTROLLER_NUMBER, CB_GETCURSEL, 0, 0);
    Screenshot(dialog, "dialog-parameter-information-controller");
    Press(dialog, IDOK);
  });
  Command(ID_PARAMETER_PROPERTIES);
  EXPECT_EQ(entry, "3: Cutoff");
  EXPECT_EQ(shown_for_5, 2) << "parameter 5 was bound to controller 1";
  EXPECT_EQ(learned, "Learned controller 74");
  EXPECT_EQ(learned_index, 75);
  EXPECT_EQ(engine->Controllers().Get(2), 11);
  EXPECT_EQ(engine->Controllers().Get(4), 74);

  ui.drivers.push_back([&](HWND dialog) {
    choose(dialog, IDC_CONTROLLER_PARAMETER, 2);
    choose(dialog, IDC_CONTROLLER_NUMBER, 0);  // "None"
    Press(dialog, IDCANCEL);
  });
  Command(ID_PARAMETER_PROPERTIES);
  EXPECT_EQ(engine->Controllers().Get(2), 11) << "cancelled";
}

// The host-driven sources come from their menu items; a Slider's settings
// list the 25 parameters by number and name and store the binding.
TEST_F(DialogTest, SliderSettingsListTheParametersAndStoreTheBinding) {
  const int slider = Add(ID_SLIDER_INTERFACE, 100, 100);
  for (const auto& [command, type] : {std::pair{ID_NOTE_FREQUENCY, kNoteFrequencyType},
                                     {ID_NOTE_WAVEPERIOD, kNoteWavePeriodType}, {ID_NOTE_TRIGGER, kNoteTriggerType}}) {
    EXPECT_EQ(GetMenuState(GetMenu(Main()), command, MF_BYCOMMAND) & MF_GRAYED, 0u) << command;
    EXPECT_EQ(D(Add(command, 300, 100 + 40 * (type - kSliderType))).type, type);
  }
  ASSERT_EQ(D(slider).type, kSliderType);
  std::strcpy(parameter_names[0], "Rate");
  std::strcpy(parameter_names[2], "Cutoff");
  std::vector<std::string> entries;
  std::string minimum, maximum;
  LRESULT selected = -1;
  ui.drivers.push_back([&](HWND dialog) {
    HWND list = GetDlgItem(dialog, IDC_SLIDER_BINDING);
    for (LRESULT i = 0, n = SendMessageA(list, LB_GETCOUNT, 0, 0); i < n; ++i) {
      char entry[128] = {};
      SendMessageA(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(entry));
      entries.push_back(entry);
    }
    selected = SendMessageA(list, LB_GETCURSEL, 0, 0);
    minimum = Text(dialog, IDC_SLIDER_MIN);
    maximum = Text(dialog, IDC_SLIDER_MAX);
    SetDlgItemTextA(dialog, IDC_SLIDER_MIN, "200");
    SetDlgItemTextA(dialog, IDC_SLIDER_MAX, "lots");
    Press(dialog, IDOK);
    EXPECT_TRUE(IsWindowVisible(dialog)) << "refused: still open";
    SetDlgItemTextA(dialog, IDC_SLIDER_MAX, "5000");
    SetDlgItemTextA(dialog, IDC_LABEL, "cutoff knob");
    SendMessageA(list, LB_SETCURSEL, 2, 0);
    Screenshot(dialog, "dialog-slider-settings");
    Press(dialog, IDOK);
  });
  DoubleClick(slider);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_SLIDER_SETTINGS});
  ASSERT_EQ(entries.size(), 25u);
  EXPECT_EQ(entries[0], "1: Rate");
  EXPECT_EQ(entries[1], "2");
  EXPECT_EQ(entries[2], "3: Cutoff");
  EXPECT_EQ(entries[24], "25");
  EXPECT_EQ(selected, 0) << "bound to parameter 1 at first";
  EXPECT_EQ(minimum + ".." + maximum, "0..1");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "\"lots\" is not a number.");
  EXPECT_EQ(ui.messages[0].title, "Slider Settings");
  const auto& record = *static_cast<const SliderRecord*>(engine->Record(slider));
  EXPECT_EQ(record.parameter, 2);
  EXPECT_EQ(record.minimum, 200.0);
  EXPECT_EQ(record.maximum, 5000.0);
  EXPECT_STREQ(D(slider).label, "cutoff knob");
}

// The sources come from their menu items; a Translation Table's points are
// edited as text, and a mistake names its line and keeps the dialog open.
TEST_F(DialogTest, SourcesComeFromTheirMenusAndATablesPointsAreEditedAsText) {
  const std::pair<int, int> items[] = {{ID_BASIC_OSCILLATOR, 40}, {ID_FM_OSCILLATOR, 41}, {ID_WHITE_NOISE, 42},
                                       {ID_LINEAR_ADSR, 43},      {ID_EXPONENTIAL_ADSR, 44}, {ID_ENVELOPE_FOLLOWER, 45},
                                       {ID_STEP_COUNTER, 46},     {ID_FUNCTION, 48}};
  int row = 0;
  for (const auto& [command, type] : items) {
    EXPECT_EQ(GetMenuState(GetMenu(Main()), command, MF_BYCOMMAND) & MF_GRAYED, 0u) << command;
    EXPECT_EQ(D(Add(command, 300, 20 + 60 * row++)).type, type);
  }
  const int table = Add(ID_TRANSLATION_TABLE, 100, 100);
  ASSERT_EQ(D(table).type, kTranslationTableType);
  std::string shown;
  ui.drivers.push_back([&](HWND dialog) {
    shown = Text(dialog, IDC_TABLE_POINTS);
    SetDlgItemTextA(dialog, IDC_TABLE_POINTS, "0 0\r\n1 10\r\n1 20\r\n");
    Press(dialog, IDOK);
    EXPECT_TRUE(IsWindowVisible(dialog)) << "refused: still open";
    SetDlgItemTextA(dialog, IDC_TABLE_POINTS, "# steps of a sequence\r\n0 220\r\n1 330\r\n2 440\r\n3 262.5\r\n");
    SendDlgItemMessageA(dialog, IDC_TABLE_INTERPOLATION, CB_SETCURSEL, 0, 0);
    SetDlgItemTextA(dialog, IDC_LABEL, "melody");
    Screenshot(dialog, "dialog-table-settings");
    Press(dialog, IDOK);
  });
  DoubleClick(table);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_TABLE_SETTINGS});
  EXPECT_EQ(shown, "-32768 -32768\r\n32768 32768\r\n");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "line 3: x 1 is not greater than the x of line 2 (1)");
  EXPECT_EQ(ui.messages[0].title, "Translation Table Settings");
  const auto& record = *static_cast<const TableRecord*>(engine->Record(table));
  ASSERT_EQ(record.count, 4);
  EXPECT_EQ(record.interpolation, Interpolation::kStep);
  EXPECT_EQ(record.y[3], 262.5);
  EXPECT_STREQ(D(table).label, "melody");
}

}  // namespace
}  // namespace korvel::testing
