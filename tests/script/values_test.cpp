#include "tests/script/script_test_support.h"

namespace korvel {
namespace {

using testing_support::ScriptTest;

TEST_F(ScriptTest, FirstDeclarationWinsAndLocalsHideGlobals) {
  ASSERT_TRUE(Run("7 >> a  8 >> b", "var a var a var b\n:f var b 9 >> b :"));
  EXPECT_EQ(engine.GlobalValues()[0].integer, 7);
  EXPECT_EQ(engine.GlobalValues()[1].integer, 0);
  ASSERT_TRUE(engine.RunFunction("f"));
  EXPECT_EQ(GlobalInt("b"), 8);  // f assigned its own local
}

TEST_F(ScriptTest, VariablesOwnTheirTexts) {
  ASSERT_TRUE(Run("( @S0 + 1 ) >> a  ( @S0 + 2 ) >> b  a >> c  5 >> a  c >> c",
                  "var a var b var c \"x\""));
  EXPECT_EQ(GlobalInt("a"), 5);
  EXPECT_EQ(GlobalText("b"), "x2");  // a later join did not change it
  EXPECT_EQ(GlobalText("c"), "x1");  // self-assignment keeps the text
}

TEST_F(ScriptTest, AssigningAnUnknownNameReportsAndGoesOn) {
  EXPECT_TRUE(Run("5 >> nope 6 >> a", "var a"));
  EXPECT_EQ(Messages(), std::vector<std::string>{"Error: variable 'nope' could not be found."});
  EXPECT_EQ(GlobalInt("a"), 6);
}

TEST_F(ScriptTest, ResultSurvivesTheVariableItBorrowedFrom) {
  // f leaves its local's text in the result register; the local then dies.
  ASSERT_TRUE(Run("f >> a  ( 1 + f ) >> b  f", "var a var b\n:f var t ( @S0 + 9 ) >> t t :\n\"z\""));
  EXPECT_EQ(GlobalText("a"), "z9");
  EXPECT_EQ(GlobalText("b"), "1z9");
  ASSERT_EQ(engine.Result().type, ValueType::Text);
  EXPECT_STREQ(engine.Result().text, "z9");
}

TEST_F(ScriptTest, OpenGroupKeepsAGlobalTextThatACallReplaces) {
  ASSERT_TRUE(Run("@S0 >> g  ( g + f ) >> r", "var g var r\n:f @S1 >> g 0 :\n\"old\" \"new\""));
  EXPECT_EQ(GlobalText("r"), "old0");
  EXPECT_EQ(GlobalText("g"), "new");
}

}  // namespace
}  // namespace korvel
