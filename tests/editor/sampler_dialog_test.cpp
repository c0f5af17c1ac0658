// The Sampler from its menu item, and its settings dialog: the file chosen
// through the file dialog, the root, mode, release and loop handed to the
// engine, a refused value keeping the dialog open, and a file that cannot
// be loaded told in the status bar.
#include <windows.h>
#include <commctrl.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>

#include "components/sampler.h"
#include "engine/file_io.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

namespace fs = std::filesystem;

std::string Text(HWND window, int control) {
  char text[4096] = {};
  GetDlgItemTextA(window, control, text, sizeof text);
  return text;
}

void Press(HWND dialog, int control) {
  SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(control, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, control)));
}

class SamplerDialogTest : public EditorTest {
 protected:
  SamplerDialogTest() {
    folder /= "korvel-sampler-dialog-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
    fs::create_directories(folder);
    // One second of 16-bit mono silence at 22050 Hz.
    std::string wav = "RIFF" + Le(36 + 44100, 4) + "WAVEfmt " + Le(16, 4) + Le(1, 2) + Le(1, 2) + Le(22050, 4) +
                      Le(44100, 4) + Le(2, 2) + Le(16, 2) + "data" + Le(44100, 4) + std::string(44100, '\0');
    sound = (folder / "hit.wav").string();
    std::ofstream(sound, std::ios::binary) << wav;
  }
  ~SamplerDialogTest() override { fs::remove_all(folder); }
  static std::string Le(std::uint32_t v, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += static_cast<char>(v >> (8 * i) & 0xFF);
    return out;
  }
  void OpenSettings(int slot) {
    Click(D(slot).x + 30, D(slot).y + 3);
    Command(ID_COMPONENT_SETTINGS);
  }
  std::string StatusBar() {
    char text[1024] = {};
    SendMessageA(static_cast<HWND>(engine->Editor().status_bar), SB_GETTEXTA, 0, reinterpret_cast<LPARAM>(text));
    return text;
  }

  fs::path folder = fs::temp_directory_path();
  std::string sound;
};

TEST_F(SamplerDialogTest, TheMenuMakesASamplerWhoseDialogSetsItUp) {
  EXPECT_EQ(GetMenuState(GetMenu(Main()), ID_SAMPLER, MF_BYCOMMAND) & MF_GRAYED, 0u);
  const int slot = Add(ID_SAMPLER, 100, 100);
  ASSERT_EQ(D(slot).type, kSamplerType);
  std::string status_before, status_after;
  ui.files.push_back(sound);
  ui.drivers.push_back([&](HWND dialog) {
    status_before = Text(dialog, IDC_SAMPLER_STATUS);
    Press(dialog, IDC_SAMPLER_BROWSE);
    SetDlgItemTextA(dialog, IDC_SAMPLER_ROOT, "440");
    CheckRadioButton(dialog, IDC_SAMPLER_ONE_SHOT, IDC_SAMPLER_GATE, IDC_SAMPLER_GATE);
    SetDlgItemTextA(dialog, IDC_SAMPLER_RELEASE, "250");
    SendDlgItemMessageA(dialog, IDC_SAMPLER_LOOP, CB_SETCURSEL, 2, 0);
    SetDlgItemTextA(dialog, IDC_SAMPLER_LOOP_START, "100");
    SetDlgItemTextA(dialog, IDC_SAMPLER_LOOP_END, "abc");
    Press(dialog, IDOK);
    EXPECT_TRUE(IsWindowVisible(dialog)) << "refused: still open";
    SetDlgItemTextA(dialog, IDC_SAMPLER_LOOP_END, "20000");
    SetDlgItemTextA(dialog, IDC_LABEL, "kick");
    Press(dialog, IDOK);
  });
  OpenSettings(slot);
  EXPECT_EQ(ui.dialogs, std::vector<int>{IDD_SAMPLER_SETTINGS});
  EXPECT_EQ(status_before, "No sound file chosen: the Sampler is silent.");
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].text, "Loop end: \"abc\" is not a whole number of frames.");
  EXPECT_EQ(nlohmann::json(engine->Settings(slot)),
            nlohmann::json({{"file", sound}, {"root", 440.0}, {"mode", "gate"}, {"loop", "ping-pong"},
                            {"loop_start", 100}, {"loop_end", 20000}, {"release", 250.0}}));
  EXPECT_STREQ(D(slot).label, "kick");
  const auto& sampler = *static_cast<const SamplerRecord*>(engine->Record(slot));
  ASSERT_NE(sampler.sound, nullptr);
  EXPECT_EQ(sampler.sound->rate, 22050.0);

  // Opened again, it shows the sound it holds.
  ui.drivers.push_back([&](HWND dialog) {
    status_after = Text(dialog, IDC_SAMPLER_STATUS);
    Screenshot(dialog, "dialog-sampler-settings");
    Press(dialog, IDCANCEL);
  });
  OpenSettings(slot);
  EXPECT_EQ(status_after, "22050 Hz mono, 1.000 s (22050 frames)");
}

TEST_F(SamplerDialogTest, AFileThatCannotBeLoadedIsToldInTheStatusBar) {
  const int slot = Add(ID_SAMPLER, 100, 100);
  const std::string missing = (folder / "gone.wav").string();
  ui.drivers.push_back([&](HWND dialog) {
    SetDlgItemTextA(dialog, IDC_SAMPLER_FILE, missing.c_str());
    Press(dialog, IDOK);
  });
  OpenSettings(slot);
  Pump();
  std::string reason;  // the platform's words for a file that is not there
  InputFile::Open(missing, false, reason);
  const std::string line = "Sampler \"Sampler\" (slot " + std::to_string(slot) + "): couldn't load \"" + missing +
                           "\": " + reason + "; it stays silent";
  EXPECT_EQ(engine->SoundProblems(), std::vector<std::string>{line});
  EXPECT_EQ(StatusBar(), line);
  EXPECT_EQ(engine->Settings(slot)["file"], missing) << "the path is kept";
  std::string status;
  ui.drivers.push_back([&](HWND dialog) {
    status = Text(dialog, IDC_SAMPLER_STATUS);
    Press(dialog, IDCANCEL);
  });
  OpenSettings(slot);
  EXPECT_EQ(status, line);
}

}  // namespace
}  // namespace korvel::testing
