// The Code View's "Save and Apply" and "Revert", pressed as buttons.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "resources/resource.h"
#include "script/script_engine.h"
#include "tests/editor/editor_fixture.h"

namespace korvel::testing {
namespace {

class CodeViewTest : public EditorTest {
 protected:
  void SetUp() override {
    EditorTest::SetUp();
    Command(ID_CODE_VIEW);
    Pump();
  }
  HWND Edit() { return static_cast<HWND>(engine->code_edit); }
  void Type(const char* text) { SetWindowTextA(Edit(), text); }
  std::string Shown() {
    const int n = GetWindowTextLengthA(Edit());
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    GetWindowTextA(Edit(), text.data(), n + 1);
    text.resize(static_cast<std::size_t>(n));
    return text;
  }
  void Press(int button) {
    SendMessageA(GetDlgItem(Main(), button), BM_CLICK, 0, 0);
    Pump();
  }
};

TEST_F(CodeViewTest, AFaultyScriptIsStoredAndItsOneMessageShown) {
  const char* faulty = ":Main\r\n(1 + 2\r\n:\r\n";
  Type(faulty);
  Screenshot(Main(), "code-view");
  Press(IDC_SAVE_AND_APPLY);
  EXPECT_EQ(engine->script_text, faulty);
  ASSERT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ui.messages[0].title, "Errors Occured");
  EXPECT_EQ(ui.messages[0].style, kMbOk);
  ASSERT_EQ(engine->script->Messages().size(), 1u);
  EXPECT_EQ(ui.messages[0].text, engine->script->Messages()[0]);
  EXPECT_NE(ui.messages[0].text.find("Brackets don't match"), std::string::npos);

  // Applying again starts from a clean message list.
  Press(IDC_SAVE_AND_APPLY);
  EXPECT_EQ(ui.messages.size(), 2u);
  EXPECT_EQ(engine->script->Messages().size(), 1u);
}

TEST_F(CodeViewTest, ASoundScriptShowsNothing) {
  const char* sound = ":Main\r\nx = (1 + 2)\r\n:\r\n";
  Type(sound);
  Press(IDC_SAVE_AND_APPLY);
  EXPECT_EQ(engine->script_text, sound);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(engine->script->Messages().empty());
}

TEST_F(CodeViewTest, AnEmptyEditStoresAnEmptyScript) {
  Type("");
  Press(IDC_SAVE_AND_APPLY);
  EXPECT_EQ(engine->script_text, "");
  EXPECT_TRUE(ui.messages.empty());
}

TEST_F(CodeViewTest, RevertRestoresTheLastAppliedText) {
  const std::string original = engine->script_text;
  Type("scribble");
  Press(IDC_REVERT);
  EXPECT_EQ(Shown(), original);

  Type(":Main\r\n:\r\n");
  Press(IDC_SAVE_AND_APPLY);
  Type("more scribble");
  Press(IDC_REVERT);
  EXPECT_EQ(Shown(), ":Main\r\n:\r\n");
  EXPECT_EQ(engine->script_text, ":Main\r\n:\r\n");
}

TEST_F(CodeViewTest, TheEditorReopensWithTheAppliedTextNotTheEdits) {
  Type(":Main\r\n:\r\n");
  Press(IDC_SAVE_AND_APPLY);
  Type("unapplied");
  Command(ID_CLOSE_WINDOW);
  OpenEditor(*engine);
  Pump();
  EXPECT_EQ(Shown(), ":Main\r\n:\r\n");
}

}  // namespace
}  // namespace korvel::testing
