#include <limits>

#include "tests/script/script_test_support.h"

namespace korvel {
namespace {

using testing_support::ScriptTest;

class ScriptExpressionTest : public ScriptTest {
 protected:
  // Runs "( expression ) >> r" with a global r and the given literals line.
  ScriptValue Eval(const std::string& expression, const std::string& literals = "") {
    EXPECT_TRUE(Run(literals + " " + expression + " >> r", "var r")) << expression;
    result = Global("r");
    return result;
  }
  std::int32_t Int(const std::string& e, const std::string& lits = "") {
    const ScriptValue v = Eval(e, lits);
    EXPECT_EQ(v.type, ValueType::Integer) << e;
    return v.integer;
  }
  float Real(const std::string& e) {
    const ScriptValue v = Eval(e);
    EXPECT_EQ(v.type, ValueType::Float) << e;
    return v.real;
  }
  std::string Text(const std::string& e, const std::string& lits = "") {
    Eval(e, lits);
    return GlobalText("r");
  }
  ScriptValue result;
};

TEST_F(ScriptExpressionTest, OperatorsApplyLeftToRightWithoutPrecedence) {
  EXPECT_EQ(Int("( 1 + 2 * 3 )"), 9);
  EXPECT_EQ(Int("( 1 + ( 2 * 3 ) )"), 7);
  EXPECT_EQ(Int("( ( 1 + 2 ) * ( 3 + 4 ) - 1 )"), 20);
  EXPECT_EQ(Int("( 0 - 7 / 2 )"), -3);
  EXPECT_EQ(Int("( - 5 )"), -5);
  EXPECT_EQ(Int("( 100 + 100 )"), 200);
}

TEST_F(ScriptExpressionTest, IntegerArithmeticWrapsAndTruncates) {
  EXPECT_EQ(Int("( 2147483647 + 1 )"), INT32_MIN);
  EXPECT_EQ(Int("( 65536 * 65536 )"), 0);
  EXPECT_EQ(Int("( 0 - 2147483647 - 1 / ( 0 - 1 ) )"), INT32_MIN);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(Int("( 5 / 0 + 1 )"), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{"Error: division by zero\n"});
}

TEST_F(ScriptExpressionTest, ComparisonsLogicAndFloats) {
  EXPECT_EQ(Int("( 2 > 1 )"), 1);
  EXPECT_EQ(Int("( 2 <= 1 )"), 0);
  EXPECT_EQ(Int("( 3 == 3 && ( 1 != 2 ) )"), 1);
  EXPECT_EQ(Int("( 0 || 0 )"), 0);
  EXPECT_EQ(Real("( 2.5 > 1 )"), 1.0f);
  EXPECT_EQ(Real("( 0.5 && 1 )"), 0.0f);  // 0.5 truncates to 0
  EXPECT_EQ(Real("( 0.5 || 1 )"), 1.0f);
  EXPECT_EQ(Int("( 7 / 2 )"), 3);
  EXPECT_EQ(Real("( 7.0 / 2 )"), 3.5f);
  EXPECT_EQ(Real("( 1 / 3.0 )"), 1.0f / 3.0f);
  EXPECT_EQ(Real("( 1.0 / 0 )"), std::numeric_limits<float>::infinity());
}

TEST_F(ScriptExpressionTest, PlusJoinsTextsAndNumbers) {
  EXPECT_EQ(Text("( @S0 + 5 )", "\"ab\""), "ab5");
  EXPECT_EQ(Text("( 1.5 + @S0 )", "\"ab\""), "1.500000ab");
  EXPECT_EQ(Text("( @S0 + 1 )", "\"12\""), "121");
  EXPECT_EQ(Text("( @S0 + @S1 + ( 1 + @S0 ) )", "\"a\" \"b\""), "ab1a");
  EXPECT_EQ(Text("( 1.0e30 + @S0 )", "\"\""), "1.000000e+30");
}

TEST_F(ScriptExpressionTest, TextsUnderOtherOperatorsAreReadAsNumbers) {
  EXPECT_EQ(Int("( @S0 == 12 )", "\"12\""), 1);
  EXPECT_EQ(Real("( 0.5 * 4 )"), 2.0f);
  EXPECT_EQ(Int("( @S0 - 1 )", "\" -12x\""), -13);
  EXPECT_TRUE(Messages().empty());
  EXPECT_EQ(Int("( @S0 == @S1 )", "\"7a\" \"7b\""), 1);
  EXPECT_EQ(Messages(), std::vector<std::string>{
      "Error: unsupported operation between two strings \"7a\" and \"7b\", "
      "converting both to integers."});
  engine.ClearMessages();
  const ScriptValue v = Eval("( @S0 * 2.0 )", "\"1.25e1\"");
  EXPECT_EQ(v.real, 25.0f);
}

TEST_F(ScriptExpressionTest, SingleOperandGroupsPassThrough) {
  EXPECT_EQ(Int("( 42 )"), 42);
  EXPECT_EQ(Int("( )"), 0);
  EXPECT_EQ(Int("( ( 1 + 2 ) )"), 3);
  EXPECT_EQ(Text("( @S0 )", "\"hi\""), "hi");
}

TEST_F(ScriptExpressionTest, JoinIsCutAtTheBufferSize) {
  // Doubling a 512-character text seven times would give 65536 characters.
  std::string script = "var s\n:main \"" + std::string(512, 'x') + "\" >> s\n";
  for (int i = 0; i < 7; ++i) script += "( s + s ) >> s\n";
  script += ":";
  ASSERT_TRUE(engine.CompileScript(script.c_str()));
  ASSERT_TRUE(engine.RunFunction("main"));
  EXPECT_EQ(GlobalText("s"), std::string(32767, 'x'));
}

TEST_F(ScriptExpressionTest, DeepNestingAndLongChainsDoNotExhaustTheStack) {
  std::string open, close, chain = "( 0";
  for (int i = 0; i < 20000; ++i) {
    open += "(\n";
    close += ")\n";
    chain += " + 1\n";
  }
  EXPECT_EQ(Int(open + "5" + close), 5);
  EXPECT_EQ(Int(chain + ")"), 20000);
}

}  // namespace
}  // namespace korvel
