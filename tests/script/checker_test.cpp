// Compiling: tokens, literals, declarations and the checker's messages.
#include "tests/script/script_test_support.h"

namespace korvel::testing_support {
namespace {

TEST_F(ScriptTest, DefaultScriptCompilesToOneEmptyMain) {
  ASSERT_TRUE(engine.CompileScript("# TODO: Insert code below\r\n\r\n:Main\r\n\r\n:\r\n"));
  EXPECT_EQ(Tokens(), (Strings{":main", ":"}));
  ASSERT_EQ(engine.Functions().size(), 1u);
  EXPECT_TRUE(engine.Functions()[0].openingIndex == 0u && engine.GlobalNames().empty() && Messages().empty());
  EXPECT_TRUE(engine.RunFunction("main") && trace.empty());
  EXPECT_FALSE(engine.RunFunction("Main"));  // names are lower-cased
}

// Globals outside functions, locals inside; a trailing "var" declares nothing.
TEST_F(ScriptTest, VarDeclaresGlobalsAndLocals) {
  ASSERT_TRUE(engine.CompileScript("var X\n:f var y var z :\nvar"));
  EXPECT_EQ(Globals("x"), "int 0");
  EXPECT_EQ(engine.GlobalNames().size(), 1u);
  const FunctionRecord& f = engine.Functions().at(0);
  ASSERT_TRUE(f.localCount == 2 && f.localNames.size() == 2u);
  EXPECT_STREQ(f.localNames[1], "z");
}

// Only the first fault is reported, and a failed compile leaves nothing.
TEST_F(ScriptTest, CheckerFaults) {
  const std::pair<std::string, const char*> cases[] = {
      {":a :b :", "Error: Function definition started when already in a function body.\n"},
      {":", "Error: Closing function ':' when no function body is open.\n"},
      {"( ( x )", "Error: Brackets don't match (1 extra '(' brackets)\n"},
      {"( if x", "Error: Brackets don't match (1 extra '(' brackets)\n"},
      {") ) )", "Error: Brackets don't match (3 extra ')' brackets)\n"},
      {"if if endif", "Error: if blocks don't match (1 extra if words)\n"},
      {"endif do", "Error: if blocks don't match (1 extra endif words)\n"},
      {"do do", "Error: do blocks don't match (2 extra do words)\n"},
      {"loop", "Error: do blocks don't match (1 extra loop words)\n"},
      {"x\n" + std::string(1024, ' '), "Error Line too long\n"},
  };
  for (const auto& [script, message] : cases) {
    engine.ClearMessages();
    EXPECT_FALSE(engine.CompileScript(script.c_str())) << script;
    EXPECT_EQ(Messages(), Strings{message}) << script;
    EXPECT_TRUE(engine.Tokens().empty() && engine.Functions().empty()) << script;
  }
  ASSERT_TRUE(engine.CompileScript((std::string(1022, 'a') + " \nb").c_str()));  // the longest line
  EXPECT_EQ(Tokens().size(), 2u);
  // Counted over the whole script, not per function; an open last body is fine.
  EXPECT_TRUE(engine.CompileScript(":a if : :b endif : :c then"));
}

TEST_F(ScriptTest, OperatorsJoinWithThePreviousTokenOnly) {
  ASSERT_TRUE(engine.CompileScript("a>=b x >> y a ! = b\nc =\n= d === e <> f |& g && h||i"));
  EXPECT_EQ(Tokens(), (Strings{"a", ">=", "b", "x", ">>", "y", "a", "!=", "b", "c", "==", "d", "==", "=", "e", "<", ">",
                               "f", "|", "&", "g", "&&", "h", "||", "i"}));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript("1.5 x2 :Main(a)@Sx\tb"));
  EXPECT_EQ(Tokens(), (Strings{"1.5", "x2", ":main", "(", "a", ")", "@Sx", "b"}));
}

// Literals keep their case and become markers; an unknown escape keeps its
// letter, a stray "]" gives an empty message; "#" and open literals end a line.
TEST_F(ScriptTest, LiteralsBecomeMarkers) {
  ASSERT_TRUE(engine.CompileScript("\"Hello World\" + X\n\"a\\tb\" \"q\\\"\\\\\\n\\r\\z\""));
  EXPECT_EQ(Tokens(), (Strings{"@S0", "+", "x", "@S1", "@S2"}));
  EXPECT_EQ(Texts(engine.Strings()), (Strings{"Hello World", "a\tb", "q\"\\\n\rz"}));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript("[Say Hi] x [a[b] ] \"[c]\" [d\"e\"f]"));
  EXPECT_EQ(Tokens(), (Strings{"@M0", "x", "@M1", "@M2", "@S0", "@M3"}));
  EXPECT_EQ(Texts(engine.MessageLiterals()), (Strings{"Say Hi", "b", "", "d @S1 f"}));
  EXPECT_EQ(Texts(engine.Strings()), (Strings{"[c]", "e"}));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript("x = \"a#b\"\ny \"open\nz [open\r\nw # note"));
  EXPECT_EQ(Tokens(), (Strings{"x", "=", "y", "z", "w"}));
  EXPECT_TRUE(engine.Strings().empty() && engine.MessageLiterals().empty());
}

// 340 empty literals need about 2000 bytes of markers: the line is cut.
// Cutting a rewritten line could cut a marker (" @S12 " to "@S1") and name
// the wrong literal, so such a line is refused; one that fits is kept whole.
TEST_F(ScriptTest, RewrittenLineThatWouldOverflowIsRefused) {
  std::string fits, overflows;
  for (int i = 0; i < 100; ++i) fits += "\"\" ";
  for (int i = 0; i < 340; ++i) overflows += i % 2 ? "[] " : "\"\" ";
  ASSERT_TRUE(engine.CompileScript(fits.c_str()));
  EXPECT_TRUE(engine.Strings().size() == 100u && Tokens().size() == 100u && Tokens().back() == "@S99");
  engine.ClearCompiled();
  EXPECT_FALSE(engine.CompileScript((":a\n" + overflows + "\n:\n").c_str()));
  EXPECT_EQ(engine.Messages(), Strings{"Error: line too long\n"});
  EXPECT_TRUE(Tokens().empty() && engine.Strings().empty() && engine.MessageLiterals().empty());
}

TEST_F(ScriptTest, ByteOrderMarkIsSkipped) {
  ASSERT_TRUE(engine.CompileScript("\xEF\xBB\xBF:Main\n1\n:\n"));
  EXPECT_EQ(Tokens(), (Strings{":main", "1", ":"}));
  EXPECT_TRUE(engine.RunFunction("main"));
}

TEST_F(ScriptTest, SecondCompileAppends) {
  ASSERT_TRUE(engine.CompileScript(":a \"x\" :") && engine.CompileScript(":b \"y\" :"));
  EXPECT_EQ(Tokens(), (Strings{":a", "@S0", ":", ":b", "@S1", ":"}));
  ASSERT_EQ(engine.Functions().size(), 2u);
  EXPECT_EQ(engine.Functions()[1].openingIndex, 3u);
  EXPECT_TRUE(engine.CompileScript("\n\n"));  // nothing to add, still accepted
}

}  // namespace
}  // namespace korvel::testing_support
