#include "tests/script/script_test_support.h"

namespace korvel {
namespace {

using testing_support::ScriptTest;
using Strings = std::vector<std::string>;

TEST_F(ScriptTest, DefaultScriptCompilesToOneEmptyMain) {
  ASSERT_TRUE(engine.CompileScript("# TODO: Insert code below\r\n\r\n:Main\r\n\r\n:\r\n"));
  EXPECT_EQ(Tokens(), (Strings{":main", ":"}));
  ASSERT_EQ(engine.Functions().size(), 1u);
  EXPECT_STREQ(engine.Functions()[0].name, "main");
  EXPECT_EQ(engine.Functions()[0].openingIndex, 0u);
  EXPECT_TRUE(engine.GlobalNames().empty());
  EXPECT_TRUE(Messages().empty());

  EXPECT_TRUE(engine.RunFunction("main"));
  EXPECT_TRUE(trace.empty());
  EXPECT_FALSE(engine.RunFunction("Main"));  // names are lower-cased
}

TEST_F(ScriptTest, VarDeclaresGlobalsOutsideAndLocalsInsideFunctions) {
  ASSERT_TRUE(engine.CompileScript("var X\n:f var y var z :\nvar"));
  ASSERT_EQ(engine.GlobalNames().size(), 1u);
  EXPECT_STREQ(engine.GlobalNames()[0], "x");
  EXPECT_EQ(engine.GlobalValues()[0].type, ValueType::Integer);
  EXPECT_EQ(engine.GlobalValues()[0].integer, 0);
  const FunctionRecord& f = engine.Functions().at(0);
  EXPECT_EQ(f.localCount, 2);
  ASSERT_EQ(f.localNames.size(), 2u);
  EXPECT_STREQ(f.localNames[1], "z");
}

TEST_F(ScriptTest, FunctionStructureFaultsStopAtFirstOffender) {
  EXPECT_FALSE(engine.CompileScript(":a :b :"));
  EXPECT_FALSE(engine.CompileScript(":"));
  EXPECT_EQ(Messages(), (Strings{
      "Error: Function definition started when already in a function body.\n",
      "Error: Closing function ':' when no function body is open.\n"}));
  // A failed compile leaves nothing behind.
  EXPECT_TRUE(engine.Tokens().empty());
  EXPECT_TRUE(engine.Functions().empty());
}

TEST_F(ScriptTest, CountersReportOnlyTheFirstMismatch) {
  const std::pair<const char*, const char*> cases[] = {
      {"( ( x )", "Error: Brackets don't match (1 extra '(' brackets)\n"},
      {"( if x", "Error: Brackets don't match (1 extra '(' brackets)\n"},
      {") ) )", "Error: Brackets don't match (3 extra ')' brackets)\n"},
      {"if if endif", "Error: if blocks don't match (1 extra if words)\n"},
      {"endif do", "Error: if blocks don't match (1 extra endif words)\n"},
      {"do do", "Error: do blocks don't match (2 extra do words)\n"},
      {"loop", "Error: do blocks don't match (1 extra loop words)\n"},
  };
  for (const auto& [script, message] : cases) {
    engine.ClearMessages();
    EXPECT_FALSE(engine.CompileScript(script)) << script;
    EXPECT_EQ(Messages(), Strings{message}) << script;
  }
  // Counted over the whole script, not per function; open last body is fine.
  EXPECT_TRUE(engine.CompileScript(":a if : :b endif : :c then"));
}

TEST_F(ScriptTest, OperatorsJoinWithThePreviousTokenOnly) {
  ASSERT_TRUE(engine.CompileScript("a>=b x >> y a ! = b\nc =\n= d === e <> f |& g && h||i"));
  EXPECT_EQ(Tokens(), (Strings{"a", ">=", "b", "x", ">>", "y", "a", "!=", "b", "c", "==",
                               "d", "==", "=", "e", "<", ">", "f", "|", "&", "g", "&&",
                               "h", "||", "i"}));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript("1.5 x2 :Main(a)@Sx\tb"));
  EXPECT_EQ(Tokens(), (Strings{"1.5", "x2", ":main", "(", "a", ")", "@Sx", "b"}));
}

TEST_F(ScriptTest, StringLiteralsBecomeMarkersWithEscapesResolved) {
  ASSERT_TRUE(engine.CompileScript("\"Hello World\" + X\n\"a\\tb\" \"q\\\"\\\\\\n\\r\\z\""));
  EXPECT_EQ(Tokens(), (Strings{"@S0", "+", "x", "@S1", "@S2"}));
  ASSERT_EQ(engine.Strings().size(), 3u);
  EXPECT_STREQ(engine.Strings()[0].get(), "Hello World");
  EXPECT_STREQ(engine.Strings()[1].get(), "a\tb");
  EXPECT_STREQ(engine.Strings()[2].get(), "q\"\\\n\rz");
}

TEST_F(ScriptTest, MessageLiteralsAndTheirInteractionWithStrings) {
  ASSERT_TRUE(engine.CompileScript("[Say Hi] x [a[b] ] \"[c]\" [d\"e\"f]"));
  EXPECT_EQ(Tokens(), (Strings{"@M0", "x", "@M1", "@M2", "@S0", "@M3"}));
  ASSERT_EQ(engine.MessageLiterals().size(), 4u);
  EXPECT_STREQ(engine.MessageLiterals()[0].get(), "Say Hi");
  EXPECT_STREQ(engine.MessageLiterals()[1].get(), "b");
  EXPECT_STREQ(engine.MessageLiterals()[2].get(), "");  // stray "]"
  EXPECT_STREQ(engine.MessageLiterals()[3].get(), "d @S1 f");
  EXPECT_STREQ(engine.Strings()[0].get(), "[c]");
}

TEST_F(ScriptTest, CommentsAndOpenLiteralsCutTheLine) {
  ASSERT_TRUE(engine.CompileScript("x = \"a#b\"\ny \"open\nz [open\r\nw # note"));
  EXPECT_EQ(Tokens(), (Strings{"x", "=", "y", "z", "w"}));
  EXPECT_TRUE(engine.Strings().empty());
  EXPECT_TRUE(engine.MessageLiterals().empty());
}

TEST_F(ScriptTest, LineLengthLimit) {
  EXPECT_TRUE(engine.CompileScript((std::string(1022, 'a') + " \nb").c_str()));
  EXPECT_EQ(Tokens().size(), 2u);
  EXPECT_FALSE(engine.CompileScript(("x\n" + std::string(1024, ' ')).c_str()));
  EXPECT_EQ(Messages(), Strings{"Error Line too long\n"});
  EXPECT_TRUE(engine.Tokens().empty());  // tokens of earlier lines are released too
}

TEST_F(ScriptTest, RewrittenLineIsCutAtItsBuffer) {
  // 340 empty literals need about 2000 bytes of markers.
  std::string line;
  for (int i = 0; i < 340; ++i) line += "\"\" ";
  ASSERT_TRUE(engine.CompileScript(line.c_str()));
  EXPECT_EQ(engine.Strings().size(), 340u);
  EXPECT_LT(Tokens().size(), 340u);
  EXPECT_EQ(Tokens().front(), "@S0");
}

TEST_F(ScriptTest, SecondCompileAppends) {
  ASSERT_TRUE(engine.CompileScript(":a \"x\" :"));
  ASSERT_TRUE(engine.CompileScript(":b \"y\" :"));
  EXPECT_EQ(Tokens(), (Strings{":a", "@S0", ":", ":b", "@S1", ":"}));
  ASSERT_EQ(engine.Functions().size(), 2u);
  EXPECT_EQ(engine.Functions()[1].openingIndex, 3u);
  EXPECT_TRUE(engine.CompileScript("\n\n"));  // nothing to add, still accepted
}

}  // namespace
}  // namespace korvel
