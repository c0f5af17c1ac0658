// Values, expression nodes and records shared by the compiler, the
// evaluator and the executor of the script language.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace korvel {

enum class ValueType : std::uint8_t {
  None = 0,  // treated like Unset
  Text = 1,
  Integer = 2,
  Float = 3,
  SubExpression = 4,
  Unset = 5,
};

struct ExpressionNode;

// A tagged value. Whether a Text payload is owned depends on where the value
// sits: variables own their texts, the result register and nodes borrow.
struct ScriptValue {
  ValueType type = ValueType::Integer;
  union {
    char* text;
    std::int32_t integer;
    float real;
    ExpressionNode* node;
  };

  ScriptValue() : integer(0) {}

  static ScriptValue MakeInteger(std::int32_t v) {
    ScriptValue s;
    s.integer = v;
    return s;
  }
  static ScriptValue MakeFloat(float v) {
    ScriptValue s;
    s.type = ValueType::Float;
    s.real = v;
    return s;
  }
  static ScriptValue MakeText(char* t) {
    ScriptValue s;
    s.type = ValueType::Text;
    s.text = t;
    return s;
  }
  static ScriptValue MakeSubExpression(ExpressionNode* n) {
    ScriptValue s;
    s.type = ValueType::SubExpression;
    s.node = n;
    return s;
  }
  static ScriptValue MakeUnset() {
    ScriptValue s;
    s.type = ValueType::Unset;
    return s;
  }
};

enum class OperatorCode : char {
  None = 0,
  Add = '+',
  Subtract = '-',
  Multiply = '*',
  Divide = '/',
  Equal = 'e',
  NotEqual = 'n',
  Greater = 'g',
  Less = 'l',
  GreaterEqual = 'G',
  LessEqual = 'L',
  And = 'A',
  Or = 'O',
};

// One bracket group under construction. The kept texts hold private copies
// of operands whose variable released its text while the group was open.
struct ExpressionNode {
  ScriptValue left = ScriptValue::MakeUnset();
  OperatorCode op = OperatorCode::None;
  ScriptValue right = ScriptValue::MakeUnset();
  std::unique_ptr<char[]> keptLeft;
  std::unique_ptr<char[]> keptRight;
};

// Names are borrowed from the token list of the same compile.
struct FunctionRecord {
  std::vector<const char*> localNames;
  std::int32_t localCount = 0;
  const char* name = nullptr;
  std::size_t openingIndex = 0;
};

enum class BlockCode : std::uint8_t {
  IfOpen = 0,
  IfFalse = 16,
  IfTrue = 32,
  DoOpen = 1,
  DoRunning = 17,
};

// A control stack entry remembers where its "do" was so "loop" can go back.
struct ControlEntry {
  BlockCode code = BlockCode::IfOpen;
  std::size_t doPosition = 0;
};

}  // namespace korvel
