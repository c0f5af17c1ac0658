#include "tests/script/script_test_support.h"

namespace korvel {
namespace {

using testing_support::ScriptTest;
using Strings = std::vector<std::string>;

// Each branch marker assigns its digit to a global so the path can be read back.
class ScriptExecutorTest : public ScriptTest {
 protected:
  std::string Path(const std::string& body) {
    EXPECT_TRUE(Run(body + " 0 >> p", "var p var trail\n:mark ( trail * 10 + p ) >> trail :"));
    return std::to_string(GlobalInt("trail"));
  }
};

TEST_F(ScriptExecutorTest, AssignmentAndNumbers) {
  ASSERT_TRUE(Run("5 >> x  x >> y  1.5 >> f  @S0 >> s", "var x var y var f var s\n\"t\""));
  EXPECT_EQ(GlobalInt("y"), 5);
  EXPECT_EQ(Global("f").type, ValueType::Float);
  EXPECT_EQ(Global("f").real, 1.5f);
  EXPECT_EQ(GlobalText("s"), "t");
  EXPECT_NE(Global("s").text, engine.Strings()[0].get());  // its own copy
  EXPECT_TRUE(Run("1.5e3 >> f 99999999999 >> x", "var x var f"));
  EXPECT_EQ(Global("f").real, 1500.0f);
  EXPECT_EQ(GlobalInt("x"), INT32_MAX);
  for (const char* bad : {"12abc", "1e5", "1.5x"}) {
    engine.ClearMessages();
    EXPECT_FALSE(Run(bad)) << bad;
    EXPECT_EQ(Messages(), Strings{"Error parsing number\n"}) << bad;
  }
}

TEST_F(ScriptExecutorTest, IfBlocks) {
  EXPECT_EQ(Path("if 1 then 1 >> p mark else 2 >> p mark endif 3 >> p mark"), "13");
  EXPECT_EQ(Path("if 0 then 1 >> p mark else 2 >> p mark endif 3 >> p mark"), "23");
  EXPECT_EQ(Path("if 0 then 1 >> p mark endif 3 >> p mark"), "3");
  EXPECT_EQ(Path("if ( 2 > 1 ) then 1 >> p mark endif"), "1");
  EXPECT_EQ(Path("if 0 then if 1 then 1 >> p mark endif 2 >> p mark endif 3 >> p mark"), "3");
  EXPECT_EQ(Path("if 1 then if 0 then 1 >> p mark else 2 >> p mark endif endif"), "2");
  EXPECT_EQ(Path("if @S0 then 4 >> p mark endif \"\""), "4");  // any text is true
}

TEST_F(ScriptExecutorTest, DoBlocksLoopWhileTheirTestPasses) {
  ASSERT_TRUE(Run("do ( n < 5 ) whiletrue ( n + 1 ) >> n loop", "var n"));
  EXPECT_EQ(GlobalInt("n"), 5);
  ASSERT_TRUE(Run("do ( n > 2 ) whilefalse ( n + 1 ) >> n loop", "var n"));
  EXPECT_EQ(GlobalInt("n"), 3);
  EXPECT_EQ(Path("do 0 whiletrue 1 >> p mark loop 2 >> p mark"), "2");
  EXPECT_EQ(Path("do 1 whilefalse 1 >> p mark loop 2 >> p mark"), "2");
  EXPECT_EQ(Path("do 1 >> p mark loop 2 >> p mark"), "12");  // no test: runs once
  // Nested loops: 3 x 2 inner passes.
  ASSERT_TRUE(Run("do ( i < 3 ) whiletrue ( i + 1 ) >> i 0 >> j "
                  "do ( j < 2 ) whiletrue ( j + 1 ) >> j ( n + 1 ) >> n loop loop",
                  "var i var j var n"));
  EXPECT_EQ(GlobalInt("n"), 6);
}

TEST_F(ScriptExecutorTest, TraceShowsExecutedTokensOnly) {
  ASSERT_TRUE(Run("if 0 then [skipped] endif [Hi there]"));
  EXPECT_EQ(trace, (Strings{"chip 'if'...\n", "chip '0'...\n", "chip 'then'...\n",
                            "chip 'endif'...\n", "chip '@M1'...\n",
                            "Message 'Hi there' sent\n"}));
}

TEST_F(ScriptExecutorTest, CallsShareTheResultRegister) {
  ASSERT_TRUE(Run("( twice + 1 ) >> x  a", "var x var n\n:twice 2 : :a ( n + 1 ) >> n : :a 100 >> n :"));
  EXPECT_EQ(GlobalInt("x"), 3);
  EXPECT_EQ(GlobalInt("n"), 2);  // the first "a" runs once per definition
  // A failing callee stops only itself.
  ASSERT_TRUE(Run("bad 7 >> x", "var x\n:bad nothing 1 >> x :"));
  EXPECT_EQ(GlobalInt("x"), 7);
  EXPECT_EQ(Messages(), Strings{"Error: unknown 'nothing'\n"});
}

TEST_F(ScriptExecutorTest, FaultsStopTheRunWithTheirMessage) {
  const std::pair<const char*, const char*> cases[] = {
      {"if 1 else endif", "Error: 'then' missing\n"},
      {"zork", "Error: unknown 'zork'\n"},
      {"@S7", "Error: unknown '@S7'\n"},
      {"@M", "Error: unknown '@M'\n"},
      {") (", "Error: ')' without '('\n"},
      {"1 then", "Error: 'then' without an open block\n"},
      {"loop do", "Error: 'loop' without an open block\n"},
      {"endif if", "Error: 'endif' without an open block\n"},
  };
  for (const auto& [body, message] : cases) {
    engine.ClearMessages();
    EXPECT_FALSE(Run(body)) << body;
    EXPECT_EQ(Messages(), Strings{message}) << body;
    EXPECT_EQ(engine.OpenNodeCount(), 0u) << body;
  }
  engine.ClearMessages();
  EXPECT_FALSE(Run(std::string(1000, 'q')));  // the message is cut to its buffer
  EXPECT_EQ(Messages(), Strings{"Error: unknown '" + std::string(283, 'q')});
  // Silent stops: operators outside groups, block words inside them.
  for (const char* body : {"+", "( if ) endif", "( 1 >> x )", "do if 1 whiletrue loop endif"}) {
    engine.ClearMessages();
    EXPECT_FALSE(Run(body, "var x")) << body;
    EXPECT_TRUE(Messages().empty()) << body;
    EXPECT_EQ(engine.OpenNodeCount(), 0u) << body;
  }
}

TEST_F(ScriptExecutorTest, SearchesRunAcrossFunctionsToTheEndOfTheScript) {
  // The checker counts over the whole script, so block ends may sit elsewhere.
  ASSERT_TRUE(engine.CompileScript(":a if 0 then : :b endif :"));
  EXPECT_TRUE(engine.RunFunction("a"));  // the search runs on into b
  ASSERT_TRUE(engine.CompileScript("var x :main 3 >> x"));  // left open
  EXPECT_TRUE(engine.RunFunction("main"));
  EXPECT_EQ(GlobalInt("x"), 3);
  EXPECT_FALSE(engine.RunFunction("missing"));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript(":e endif endif loop : :a if 0 then : "
                                   ":x if 1 then 1 else : :y do 0 whiletrue :"));
  EXPECT_FALSE(engine.RunFunction("a"));
  EXPECT_FALSE(engine.RunFunction("x"));
  EXPECT_FALSE(engine.RunFunction("y"));
  EXPECT_EQ(Messages(), (Strings{"Error: Cannot find else or endif\n",
                                 "Error: Cannot find 'endif'\n", "Error: Cannot find 'loop'\n"}));
}

TEST_F(ScriptExecutorTest, StepLimitStopsEveryOpenRun) {
  engine.SetStepLimit(1000);
  EXPECT_FALSE(Run("do 1 whiletrue f loop", ":f do 1 whiletrue loop :"));
  EXPECT_EQ(Messages(), Strings{"Error: step limit reached\n"});
  EXPECT_EQ(trace.size(), 1000u);
  // A new top-level run gets a fresh budget.
  engine.ClearMessages();
  engine.SetStepLimit(3);
  EXPECT_TRUE(Run("1 2 3"));
  EXPECT_FALSE(Run("1 2 3 4"));
}

TEST_F(ScriptExecutorTest, CallDepthLimitEndsRunawayRecursion) {
  engine.SetCallDepthLimit(8);
  EXPECT_FALSE(Run("r", "var n\n:r ( n + 1 ) >> n r r :"));
  EXPECT_EQ(GlobalInt("n"), 7);  // main plus seven nested calls of r
  EXPECT_EQ(Messages(), Strings{"Error: call depth limit reached\n"});
  engine.ClearMessages();
  EXPECT_TRUE(Run("r 1 >> n", "var n\n:r if ( n < 5 ) then ( n + 1 ) >> n r endif :"));
  EXPECT_TRUE(Messages().empty());
}

}  // namespace
}  // namespace korvel
