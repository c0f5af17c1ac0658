// Running: blocks, calls, variables, trace, faults and the guards.
#include "tests/script/script_test_support.h"
#include "tests/support/alloc_counter.h"

namespace korvel::testing_support {
namespace {

using testing::AllocationCounter;

// Each branch marker assigns its digit to a global so the path can be read back.
class ScriptExecutorTest : public ScriptTest {
 protected:
  std::string Path(const std::string& body) {
    EXPECT_TRUE(Run(body + " 0 >> p", "var p var trail\n:mark ( trail * 10 + p ) >> trail :"));
    return Globals("trail");
  }
};

TEST_F(ScriptExecutorTest, AssignmentAndNumbers) {
  ASSERT_TRUE(Run("5 >> x  x >> y  1.5 >> f  @S0 >> s", "var x var y var f var s\n\"t\""));
  EXPECT_EQ(Globals("x y f s"), "int 5, int 5, float 1.5, text t");
  EXPECT_NE(Value("s").text, engine.Strings()[0].get());  // its own copy
  EXPECT_TRUE(Run("1.5e3 >> f 99999999999 >> x", "var x var f"));
  EXPECT_EQ(Globals("f x"), "float 1500, int 2147483647");
  for (const char* bad : {"12abc", "1e5", "1.5x"}) {
    engine.ClearMessages();
    EXPECT_FALSE(Run(bad)) << bad;
    EXPECT_EQ(Messages(), Strings{"Error parsing number\n"}) << bad;
  }
}

TEST_F(ScriptExecutorTest, IfAndDoBlocks) {
  EXPECT_EQ(Path("if 1 then 1 >> p mark else 2 >> p mark endif 3 >> p mark"), "int 13");
  EXPECT_EQ(Path("if 0 then 1 >> p mark else 2 >> p mark endif 3 >> p mark"), "int 23");
  EXPECT_EQ(Path("if 0 then 1 >> p mark endif 3 >> p mark"), "int 3");
  EXPECT_EQ(Path("if 0 then if 1 then 1 >> p mark endif 2 >> p mark endif 3 >> p mark"), "int 3");
  EXPECT_EQ(Path("if 1 then if 0 then 1 >> p mark else 2 >> p mark endif endif"), "int 2");
  EXPECT_EQ(Path("if @S0 then 4 >> p mark endif \"\""), "int 4");  // any text is true
  EXPECT_EQ(Path("do 0 whiletrue 1 >> p mark loop 2 >> p mark"), "int 2");
  EXPECT_EQ(Path("do 1 whilefalse 1 >> p mark loop 2 >> p mark"), "int 2");
  EXPECT_EQ(Path("do 1 >> p mark loop 2 >> p mark"), "int 12");  // no test: runs once
  ASSERT_TRUE(Run("do ( n < 5 ) whiletrue ( n + 1 ) >> n loop", "var n"));
  EXPECT_EQ(Globals("n"), "int 5");
  ASSERT_TRUE(Run("do ( n > 2 ) whilefalse ( n + 1 ) >> n loop", "var n"));
  EXPECT_EQ(Globals("n"), "int 3");
  ASSERT_TRUE(Run("do ( i < 3 ) whiletrue ( i + 1 ) >> i 0 >> j do ( j < 2 ) whiletrue ( j + 1 ) >> j ( n + 1 ) >> n loop loop",
                  "var i var j var n"));
  EXPECT_EQ(Globals("n"), "int 6") << "3 x 2 inner passes";
}

TEST_F(ScriptExecutorTest, TraceShowsExecutedTokensOnly) {
  ASSERT_TRUE(Run("if 0 then [skipped] endif [Hi there]"));
  EXPECT_EQ(trace, (Strings{"chip 'if'...\n", "chip '0'...\n", "chip 'then'...\n", "chip 'endif'...\n", "chip '@M1'...\n",
                            "Message 'Hi there' sent\n"}));
}

TEST_F(ScriptExecutorTest, CallsShareTheResultRegister) {
  ASSERT_TRUE(Run("( twice + 1 ) >> x  a", "var x var n\n:twice 2 : :a ( n + 1 ) >> n : :a 100 >> n :"));
  EXPECT_EQ(Globals("x n"), "int 3, int 2");  // the first "a" runs once per definition
  // A failing callee stops only itself.
  ASSERT_TRUE(Run("bad 7 >> x", "var x\n:bad nothing 1 >> x :"));
  EXPECT_EQ(Globals("x"), "int 7");
  EXPECT_EQ(Messages(), Strings{"Error: unknown 'nothing'\n"});
}

// Lookup: locals, then globals (the first declaration wins); an unknown name
// reports and goes on.
TEST_F(ScriptExecutorTest, VariableLookup) {
  ASSERT_TRUE(Run("5 >> nope  7 >> a  8 >> b", "var a var a var b\n:f var b 9 >> b :"));
  EXPECT_TRUE(engine.GlobalValues()[0].integer == 7 && engine.GlobalValues()[1].integer == 0);
  ASSERT_TRUE(engine.RunFunction("f"));
  EXPECT_EQ(Globals("b"), "int 8");
  EXPECT_EQ(Messages(), Strings{"Error: variable 'nope' could not be found."});
}

// Variables own their texts: later joins, self-assignment, a dying local or
// a call replacing a global under an open group change nothing already held.
TEST_F(ScriptExecutorTest, VariablesOwnTheirTexts) {
  ASSERT_TRUE(Run("( @S0 + 1 ) >> a  ( @S0 + 2 ) >> b  a >> c  5 >> a  c >> c", "var a var b var c \"x\""));
  EXPECT_EQ(Globals("a b c"), "int 5, text x2, text x1");
  ASSERT_TRUE(Run("f >> a  ( 1 + f ) >> b  f", "var a var b\n:f var t ( @S0 + 9 ) >> t t :\n\"z\""));
  EXPECT_EQ(Globals("a b"), "text z9, text 1z9");
  EXPECT_EQ(Show(engine.Result()), "text z9");
  ASSERT_TRUE(Run("@S0 >> g  ( g + f ) >> r", "var g var r\n:f @S1 >> g 0 :\n\"old\" \"new\""));
  EXPECT_EQ(Globals("r g"), "text old0, text new");
}

TEST_F(ScriptExecutorTest, FaultsStopTheRunWithTheirMessage) {
  const std::pair<std::string, std::string> cases[] = {
      {"if 1 else endif", "Error: 'then' missing\n"}, {"zork", "Error: unknown 'zork'\n"},
      {"@S7", "Error: unknown '@S7'\n"}, {"@M", "Error: unknown '@M'\n"}, {") (", "Error: ')' without '('\n"},
      {"1 then", "Error: 'then' without an open block\n"}, {"loop do", "Error: 'loop' without an open block\n"},
      {"endif if", "Error: 'endif' without an open block\n"},
      {std::string(1000, 'q'), "Error: unknown '" + std::string(283, 'q')},  // cut to its buffer
      // Silent stops: operators outside groups, block words inside them.
      {"+", ""}, {"( if ) endif", ""}, {"( 1 >> x )", ""}, {"do if 1 whiletrue loop endif", ""}};
  for (const auto& [body, message] : cases) {
    engine.ClearMessages();
    EXPECT_FALSE(Run(body, "var x")) << body;
    EXPECT_EQ(Messages(), message.empty() ? Strings{} : Strings{message}) << body;
    EXPECT_EQ(engine.OpenNodeCount(), 0u) << body;
  }
}

// The checker counts over the whole script, so block ends may sit in other
// functions: searches run on to the end of the script; ":" may be missing.
TEST_F(ScriptExecutorTest, SearchesRunAcrossFunctionsToTheEndOfTheScript) {
  ASSERT_TRUE(engine.CompileScript(":a if 0 then : :b endif :"));
  EXPECT_TRUE(engine.RunFunction("a"));
  ASSERT_TRUE(engine.CompileScript("var x :main 3 >> x"));
  EXPECT_TRUE(engine.RunFunction("main") && Globals("x") == "int 3");
  EXPECT_FALSE(engine.RunFunction("missing"));
  ASSERT_TRUE(engine.ClearCompiled());
  ASSERT_TRUE(engine.CompileScript(":e endif endif loop : :a if 0 then : :x if 1 then 1 else : :y do 0 whiletrue :"));
  EXPECT_FALSE(engine.RunFunction("a") || engine.RunFunction("x") || engine.RunFunction("y"));
  EXPECT_EQ(Messages(), (Strings{"Error: Cannot find else or endif\n", "Error: Cannot find 'endif'\n",
                                 "Error: Cannot find 'loop'\n"}));
}

TEST_F(ScriptExecutorTest, GuardsStopRunawayScripts) {
  engine.SetCallDepthLimit(8);
  EXPECT_FALSE(Run("r", "var n\n:r ( n + 1 ) >> n r r :"));
  EXPECT_EQ(Globals("n"), "int 7");  // main plus seven nested calls of r
  EXPECT_EQ(Messages(), Strings{"Error: call depth limit reached\n"});
  engine.ClearMessages();
  EXPECT_TRUE(Run("r 1 >> n", "var n\n:r if ( n < 5 ) then ( n + 1 ) >> n r endif :"));
  EXPECT_TRUE(Messages().empty());
  engine.SetStepLimit(1000);
  trace.clear();
  EXPECT_FALSE(Run("do 1 whiletrue f loop", ":f do 1 whiletrue loop :"));
  EXPECT_EQ(Messages(), Strings{"Error: step limit reached\n"});
  EXPECT_EQ(engine.StopReason(), "step limit reached");
  EXPECT_TRUE(trace.size() > 300u && trace.size() < 1000u) << "calls and returns are steps too";
  engine.SetStepLimit(5);  // the call, three tokens, the return; each top-level run gets a fresh budget
  EXPECT_TRUE(Run("1 2 3") && Run("1 2 3"));
  EXPECT_FALSE(Run("1 2 3 4 5"));
}

// Work that is not a token still costs steps: empty calls, one word calling
// every same-named definition, and long name searches.
TEST_F(ScriptExecutorTest, CallsReturnsAndSearchesCostSteps) {
  engine.SetStepLimit(150);
  std::string many;
  for (int i = 0; i < 100; ++i) many += ":e\n:\n";
  EXPECT_FALSE(Run("e", many)) << "one token, 100 calls and 100 returns";
  EXPECT_EQ(Messages(), Strings{"Error: step limit reached\n"});
  engine.ClearMessages();
  std::string globals;
  for (int i = 0; i < 64 * 200; ++i) globals += "var v" + std::to_string(i) + "\n";
  EXPECT_FALSE(Run("v12799 1", globals)) << "one lookup past 12,800 names";
  engine.ClearMessages();
  engine.SetStepLimit(40000);
  EXPECT_FALSE(Run("do 1 whiletrue ( 1 / 0 ) loop"));
  ASSERT_EQ(Messages().size(), ScriptEngine::kMaxMessages + 1) << "capped, and the stop still said";
  EXPECT_EQ(Messages()[ScriptEngine::kMaxMessages - 1], "Error: too many messages; the rest are dropped\n");
  EXPECT_EQ(Messages().back(), "Error: step limit reached\n");
}

// Nesting and texts are paid for before they are taken, so a run's memory
// is bounded by its steps: a step per 8 bytes, which vectors growing by
// doubling can take twice over. Two million steps hold at most 32 MB, where
// a hundred thousand brackets around a long text once took gigabytes.
TEST_F(ScriptExecutorTest, NestingAndTextsCostStepsBeforeTheyAreTaken) {
  engine.SetTraceSink(nullptr);
  constexpr std::int64_t kSteps = 2'000'000;
  engine.SetStepLimit(kSteps);
  const auto run = [&](const std::string& body, std::size_t& peak) {
    engine.ClearCompiled();
    const std::string script = "var s var t\n\"" + std::string(1000, 'x') + "\"\n:main\n" + body + "\n:\n";
    EXPECT_TRUE(engine.CompileScript(script.c_str()));
    const AllocationCounter memory;
    const bool complete = engine.RunFunction("main");
    peak = memory.peak_bytes();
    return complete;
  };
  const auto lines = [](const std::string& piece, int times) {
    std::string text;
    for (int i = 0; i < times; ++i) text += piece + (i % 100 == 99 ? "\n" : " ");
    return text;
  };
  // s: 32,767 bytes, the longest a text can be.
  const std::string longest = "@S0 >> s ( s + s + s + s + s + s + s + s ) >> s ( s + s + s + s + s + s + s + s ) >> s\n";
  std::size_t peak = 0;
  ASSERT_TRUE(run(longest + lines("(", 100'000) + "s\n" + lines(")", 100'000) + " >> t", peak))
      << engine.StopReason() << " after " << engine.StepsTaken();
  EXPECT_EQ(std::strlen(Value("t").text), ScriptEngine::kConcatBufferSize - 1) << "passed through 100,000 groups";
  EXPECT_GT(engine.StepsTaken(), 200'000) << "a step or more per group";
  EXPECT_LT(peak, 2 * 8 * kSteps);
  // Joins of that text nested 100,000 deep stop at the limit, having held
  // no more than the steps allow.
  EXPECT_FALSE(run(longest + lines("( s +", 100'000) + "s\n" + lines(")", 100'000), peak));
  EXPECT_EQ(engine.StopReason(), "step limit reached");
  EXPECT_LT(peak, 2 * 8 * kSteps);
  EXPECT_EQ(engine.OpenNodeCount(), 0u);
}

// A stop that adds no message still has a reason the command line can show.
TEST_F(ScriptExecutorTest, SilentStopsHaveAReason) {
  const struct { const char* body; const char* reason; } cases[] = {
      {"+", "operator '+' outside a group"}, {"( 1 >> x )", "'>>' inside a group"},
      {"if 1 then 2 then endif", "'then' without its 'if'"}, {"zz", "Error: unknown 'zz'"}};
  for (const auto& c : cases) {
    EXPECT_FALSE(Run(c.body)) << c.body;
    EXPECT_EQ(engine.StopReason(), c.reason) << c.body;
  }
  EXPECT_TRUE(Run("1"));
  EXPECT_EQ(engine.StopReason(), "");
}

}  // namespace
}  // namespace korvel::testing_support
