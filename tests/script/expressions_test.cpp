// Expressions: strictly left to right, with the type rules of each operator.
#include "tests/script/script_test_support.h"

namespace korvel::testing_support {
namespace {

// Each row: literals line, expression stored in r, r shown, message ("" none).
TEST_F(ScriptTest, ExpressionsEvaluateLeftToRightUnderTheTypeRules) {
  const struct { const char *literals, *expression, *result, *message; } cases[] = {
      // No precedence; integers wrap and truncate; division by zero gives 0.
      {"", "( 1 + 2 * 3 )", "int 9", ""}, {"", "( 1 + ( 2 * 3 ) )", "int 7", ""},
      {"", "( ( 1 + 2 ) * ( 3 + 4 ) - 1 )", "int 20", ""}, {"", "( 0 - 7 / 2 )", "int -3", ""},
      {"", "( - 5 )", "int -5", ""}, {"", "( 2147483647 + 1 )", "int -2147483648", ""},
      {"", "( 65536 * 65536 )", "int 0", ""}, {"", "( 0 - 2147483647 - 1 / ( 0 - 1 ) )", "int -2147483648", ""},
      {"", "( 5 / 0 + 1 )", "int 1", "Error: division by zero\n"}, {"", "( 7 / 2 )", "int 3", ""},
      // Comparisons and logic; a float operand makes the result a float.
      {"", "( 2 > 1 )", "int 1", ""}, {"", "( 2 <= 1 )", "int 0", ""}, {"", "( 3 == 3 && ( 1 != 2 ) )", "int 1", ""},
      {"", "( 0 || 0 )", "int 0", ""}, {"", "( 2.5 > 1 )", "float 1", ""}, {"", "( 0.5 && 1 )", "float 0", ""},
      {"", "( 0.5 || 1 )", "float 1", ""}, {"", "( 7.0 / 2 )", "float 3.5", ""},
      {"", "( 1 / 3.0 )", "float 0.333333343", ""}, {"", "( 1.0 / 0 )", "float inf", ""}, {"", "( 0.5 * 4 )", "float 2", ""},
      // + joins when either side is a text, floats as %f or %e.
      {"\"ab\"", "( @S0 + 5 )", "text ab5", ""}, {"\"ab\"", "( 1.5 + @S0 )", "text 1.500000ab", ""},
      {"\"12\"", "( @S0 + 1 )", "text 121", ""}, {"\"a\" \"b\"", "( @S0 + @S1 + ( 1 + @S0 ) )", "text ab1a", ""},
      {"\"\"", "( 1.0e30 + @S0 )", "text 1.000000e+30", ""},
      // Other operators read texts as numbers; two texts warn and go as integers.
      {"\"12\"", "( @S0 == 12 )", "int 1", ""}, {"\" -12x\"", "( @S0 - 1 )", "int -13", ""},
      {"\"1.25e1\"", "( @S0 * 2.0 )", "float 25", ""},
      {"\"7a\" \"7b\"", "( @S0 == @S1 )", "int 1",
       "Error: unsupported operation between two strings \"7a\" and \"7b\", converting both to integers."},
      // A group of one passes its operand on; an empty group gives 0.
      {"", "( 42 )", "int 42", ""}, {"", "( )", "int 0", ""}, {"", "( ( 1 + 2 ) )", "int 3", ""},
      {"\"hi\"", "( @S0 )", "text hi", ""}};
  for (const auto& c : cases) {
    engine.ClearMessages();
    EXPECT_TRUE(Run(std::string(c.literals) + " " + c.expression + " >> r", "var r")) << c.expression;
    EXPECT_EQ(Globals("r"), c.result) << c.expression;
    EXPECT_EQ(Messages(), *c.message ? Strings{c.message} : Strings{}) << c.expression;
  }
}

TEST_F(ScriptTest, JoinIsCutAtTheBufferSize) {
  // Doubling a 512-character text seven times would give 65536 characters.
  std::string script = "var s\n:main \"" + std::string(512, 'x') + "\" >> s\n";
  for (int i = 0; i < 7; ++i) script += "( s + s ) >> s\n";
  ASSERT_TRUE(engine.CompileScript((script + ":").c_str()) && engine.RunFunction("main"));
  EXPECT_EQ(Globals("s"), "text " + std::string(32767, 'x'));
}

TEST_F(ScriptTest, DeepNestingAndLongChainsDoNotExhaustTheStack) {
  std::string open, close, chain = "( 0";
  for (int i = 0; i < 20000; ++i) open += "(\n", close += ")\n", chain += " + 1\n";
  ASSERT_TRUE(Run(open + "5" + close + " >> a " + chain + ") >> b", "var a var b"));
  EXPECT_EQ(Globals("a b"), "int 5, int 20000");
}

}  // namespace
}  // namespace korvel::testing_support
