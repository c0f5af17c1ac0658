// Bracket groups: building the node tree while tokens arrive, and computing
// it left to right without precedence.
#include <algorithm>
#include <bit>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <string_view>

#include "script/script_engine.h"
#include "script/script_messages.h"

namespace korvel {

namespace {

// An operand as the evaluator sees it. A text is borrowed from the value it
// came from (nothing changes a variable while an expression is computed);
// only a join's result owns its text. Either way view() reads it.
struct Operand {
  ValueType type = ValueType::Integer;
  bool wasUnset = false;
  std::int32_t integer = 0;
  float real = 0.0f;
  const char* borrowed = nullptr;
  bool owns = false;
  std::string owned;
  const char* c_str() const { return owns ? owned.c_str() : borrowed ? borrowed : ""; }
  std::string_view view() const { return owns ? std::string_view(owned) : std::string_view(c_str()); }
};

Operand FromValue(const ScriptValue& value) {
  Operand o;
  switch (value.type) {
    case ValueType::Text:
      o.type = ValueType::Text;
      o.borrowed = value.text;
      break;
    case ValueType::Integer:
      o.integer = value.integer;
      break;
    case ValueType::Float:
      o.type = ValueType::Float;
      o.real = value.real;
      break;
    default:  // Unset, None, or a missing sub-expression
      o.wasUnset = true;
      break;
  }
  return o;
}

float ToFloat(double d) {
  constexpr double kMax = std::numeric_limits<float>::max();
  if (d > kMax) return std::numeric_limits<float>::infinity();
  if (d < -kMax) return -std::numeric_limits<float>::infinity();
  return static_cast<float>(d);
}

std::int32_t TruncateFloat(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return std::numeric_limits<std::int32_t>::max();
  if (f < -2147483648.0f) return std::numeric_limits<std::int32_t>::min();
  return static_cast<std::int32_t>(f);
}

// Leading blanks and a sign, then digits; saturates like strtol on a 32-bit long.
std::int32_t TextToInteger(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  std::int64_t value = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    value = value * 10 + (*p - '0');
    if (value > 2147483648LL) value = 2147483648LL;
  }
  if (negative) value = -value;
  if (value > std::numeric_limits<std::int32_t>::max()) value = std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(value);
}

// Locale-independent, so a host that changes the C locale cannot turn
// "1.5" into 1.
float TextToFloat(std::string_view text) {
  const char* p = text.data();
  const char* end = p + text.size();
  while (p < end && std::isspace(static_cast<unsigned char>(*p))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) negative = (*p++ == '-');
  const bool digitFirst = p < end && ((*p >= '0' && *p <= '9') || (*p == '.' && p + 1 < end && p[1] >= '0' && p[1] <= '9'));
  if (!digitFirst) return 0.0f;
  double value = 0.0;
  const auto [stop, error] = std::from_chars(p, end, value, std::chars_format::general);
  if (error == std::errc::result_out_of_range) {
    const char* e = p;
    while (e < stop && *e != 'e' && *e != 'E') ++e;
    value = (e < stop && e + 1 < stop && e[1] == '-') ? 0.0 : std::numeric_limits<double>::infinity();
  } else if (error != std::errc()) {
    value = 0.0;
  }
  return ToFloat(negative ? -value : value);
}

std::string IntegerToText(std::int32_t value) {
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  return std::string(buffer, result.ptr);
}

// Six decimals; a value too large for the 24-byte buffer in that form is
// written with an exponent instead.
std::string FloatToText(float value) {
  char buffer[24];
  auto result = std::to_chars(buffer, buffer + sizeof buffer - 1, static_cast<double>(value),
                              std::chars_format::fixed, 6);
  if (result.ec != std::errc()) {
    result = std::to_chars(buffer, buffer + sizeof buffer - 1, static_cast<double>(value),
                           std::chars_format::scientific, 6);
  }
  return std::string(buffer, result.ptr);
}

std::int32_t Wrap(std::int64_t value) {
  return static_cast<std::int32_t>(static_cast<std::uint32_t>(static_cast<std::uint64_t>(value)));
}

bool IsComparison(OperatorCode op) {
  switch (op) {
    case OperatorCode::Equal:
    case OperatorCode::NotEqual:
    case OperatorCode::Greater:
    case OperatorCode::Less:
    case OperatorCode::GreaterEqual:
    case OperatorCode::LessEqual:
      return true;
    default:
      return false;
  }
}

template <typename T>
bool Compare(OperatorCode op, T l, T r) {
  switch (op) {
    case OperatorCode::Equal: return l == r;
    case OperatorCode::NotEqual: return l != r;
    case OperatorCode::Greater: return l > r;
    case OperatorCode::Less: return l < r;
    case OperatorCode::GreaterEqual: return l >= r;
    case OperatorCode::LessEqual: return l <= r;
    default: return false;
  }
}

}  // namespace

// Computes one node from its two operands. A join is built here, cut to the
// join buffer's size and paid for before a byte of it is copied; it lands
// in the shared join buffer only as the final result.
static Operand Compute(ScriptEngine& engine, OperatorCode op, Operand& l, Operand& r,
                       const char* twoStrings, char* format, std::size_t formatSize) {
  Operand out;
  if (op == OperatorCode::None) {
    // A group with one operand passes it through.
    out = l.wasUnset ? std::move(r) : std::move(l);
    out.wasUnset = false;
    return out;
  }

  ValueType type = ValueType::Integer;
  if (l.type == ValueType::Float || r.type == ValueType::Float) type = ValueType::Float;
  if (op == OperatorCode::Add && (l.type == ValueType::Text || r.type == ValueType::Text)) {
    type = ValueType::Text;
  }

  if (type == ValueType::Text) {
    auto asText = [](const Operand& o, std::string& number) -> std::string_view {
      if (o.type == ValueType::Text) return o.view();
      number = o.type == ValueType::Float ? FloatToText(o.real) : IntegerToText(o.integer);
      return number;
    };
    std::string leftNumber, rightNumber;
    const std::string_view a = asText(l, leftNumber), b = asText(r, rightNumber);
    const std::size_t length = std::min(a.size() + b.size(), ScriptEngine::kConcatBufferSize - 1);
    out.type = ValueType::Text;
    out.owns = true;
    if (!engine.ChargeBytes(length)) return out;  // out of steps: the run stops
    out.owned.reserve(length);
    out.owned.append(a.substr(0, length));
    out.owned.append(b.substr(0, length - out.owned.size()));
    return out;
  }

  if (l.type == ValueType::Text && r.type == ValueType::Text) {
    std::snprintf(format, formatSize, twoStrings, l.c_str(), r.c_str());
    engine.AddMessage(format);
  }
  for (Operand* o : {&l, &r}) {
    if (o->type != ValueType::Text) continue;
    if (type == ValueType::Float) {
      o->type = ValueType::Float;
      o->real = TextToFloat(o->view());
    } else {
      o->type = ValueType::Integer;
      o->integer = TextToInteger(o->view());
    }
  }

  const bool logic = op == OperatorCode::And || op == OperatorCode::Or;
  if (type == ValueType::Float) {
    out.type = ValueType::Float;
    if (logic) {
      // Floats are truncated first, so 0.5 counts as false.
      const std::int32_t li = l.type == ValueType::Float ? TruncateFloat(l.real) : l.integer;
      const std::int32_t ri = r.type == ValueType::Float ? TruncateFloat(r.real) : r.integer;
      const bool yes = op == OperatorCode::And ? (li != 0 && ri != 0) : (li != 0 || ri != 0);
      out.real = yes ? 1.0f : 0.0f;
      return out;
    }
    const float lf = l.type == ValueType::Float ? l.real : static_cast<float>(l.integer);
    const float rf = r.type == ValueType::Float ? r.real : static_cast<float>(r.integer);
    if (IsComparison(op)) {
      out.real = Compare(op, lf, rf) ? 1.0f : 0.0f;
      return out;
    }
    switch (op) {
      case OperatorCode::Add: out.real = lf + rf; break;
      case OperatorCode::Subtract: out.real = lf - rf; break;
      case OperatorCode::Multiply: out.real = lf * rf; break;
      case OperatorCode::Divide: out.real = lf / rf; break;
      default: out.real = 0.0f; break;
    }
    return out;
  }

  const std::int32_t li = l.integer;
  const std::int32_t ri = r.integer;
  if (IsComparison(op)) {
    out.integer = Compare(op, li, ri) ? 1 : 0;
    return out;
  }
  switch (op) {
    case OperatorCode::Add: out.integer = Wrap(std::int64_t{li} + ri); break;
    case OperatorCode::Subtract: out.integer = Wrap(std::int64_t{li} - ri); break;
    case OperatorCode::Multiply: out.integer = Wrap(std::int64_t{li} * ri); break;
    case OperatorCode::Divide:
      if (ri == 0) {
        engine.AddMessage(script_text::kDivisionByZero);
        out.integer = 0;
      } else {
        out.integer = Wrap(std::int64_t{li} / ri);
      }
      break;
    case OperatorCode::And: out.integer = (li != 0 && ri != 0) ? 1 : 0; break;
    case OperatorCode::Or: out.integer = (li != 0 || ri != 0) ? 1 : 0; break;
    default: out.integer = 0; break;
  }
  return out;
}

// Iterative so that long chains and deep nesting cannot exhaust the stack.
// Each node computed is a step. Frames hold only a node and where it is;
// a node's left value waits on `lefts` only while its right is computed,
// so a long chain of operators costs a frame per node and nothing more.
void ScriptEngine::Evaluate(const ExpressionNode* node, const FunctionRecord* /*record*/,
                            std::vector<ScriptValue>* /*locals*/, ScriptValue& destination) {
  struct Frame {
    const ExpressionNode* node;
    bool leftDone;
  };
  std::vector<Frame> frames;
  std::vector<Operand> lefts;
  Operand result;
  result.wasUnset = true;
  bool stopped = false;
  const auto enter = [&](const ExpressionNode* child) {
    ++stepsTaken_;
    ChargeBytes(sizeof(Frame));
    if (StepLimitReached()) return false;
    frames.push_back(Frame{child, false});
    return true;
  };
  if (node && !enter(node)) stopped = true;
  while (!stopped && !frames.empty()) {
    const Frame& frame = frames.back();
    const ScriptValue& value = frame.leftDone ? frame.node->right : frame.node->left;
    if (value.type == ValueType::SubExpression && value.node) {
      if (!enter(value.node)) stopped = true;
      continue;
    }
    // Hand the value up: a left waits for its right; a right completes
    // its node, whose value goes up in turn.
    Operand here = FromValue(value);
    for (;;) {
      Frame& top = frames.back();
      const ScriptValue& right = top.node->right;
      const bool rightEmpty = right.type == ValueType::Unset || right.type == ValueType::None;
      if (!top.leftDone && top.node->op == OperatorCode::None && (!here.wasUnset || rightEmpty)) {
        // A group without an operator gives its left value (its right only
        // when the left is missing): handed on as it is.
        here.wasUnset = false;
        frames.pop_back();
        if (frames.empty()) {
          result = std::move(here);
          break;
        }
        continue;
      }
      if (!top.leftDone) {
        top.leftDone = true;
        ChargeBytes(sizeof(Operand));  // checked when the next node is entered
        lefts.push_back(std::move(here));
        break;
      }
      Operand computed = Compute(*this, top.node->op, lefts.back(), here, script_text::kTwoStrings,
                                 formatBuffer_.data(), formatBuffer_.size());
      lefts.pop_back();
      frames.pop_back();
      if (StepLimitReached()) {
        stopped = true;
        break;
      }
      if (frames.empty()) {
        result = std::move(computed);
        break;
      }
      here = std::move(computed);
    }
  }

  if (stopped || result.wasUnset) {
    destination = ScriptValue::MakeInteger(0);
  } else if (result.type == ValueType::Text) {
    const std::string_view text = result.view();
    const std::size_t length = std::min(text.size(), concatBuffer_.size() - 1);
    if (!ChargeBytes(length)) {
      StepLimitReached();
      destination = ScriptValue::MakeInteger(0);
      return;
    }
    // A value passed through may already be the join buffer's own text.
    std::memmove(concatBuffer_.data(), text.data(), length);
    concatBuffer_[length] = '\0';
    destination = ScriptValue::MakeText(concatBuffer_.data());
  } else if (result.type == ValueType::Float) {
    destination = ScriptValue::MakeFloat(result.real);
  } else {
    destination = ScriptValue::MakeInteger(result.integer);
  }
}

void ScriptEngine::FreeExpression(ExpressionNode* node) {
  std::vector<ExpressionNode*> pending;
  if (node) pending.push_back(node);
  while (!pending.empty()) {
    ExpressionNode* current = pending.back();
    pending.pop_back();
    if (current->left.type == ValueType::SubExpression && current->left.node) {
      pending.push_back(current->left.node);
    }
    if (current->right.type == ValueType::SubExpression && current->right.node) {
      pending.push_back(current->right.node);
    }
    delete current;
  }
}

void ScriptEngine::OpenGroup() {
  ChargeBytes(sizeof(ExpressionNode));  // a node is memory the run takes
  nodeStack_.push_back(new ExpressionNode{});
  resultValue_ = ScriptValue::MakeUnset();
}

void ScriptEngine::ApplyOperator(OperatorCode code) {
  ExpressionNode* top = nodeStack_.back();
  if (top->op != OperatorCode::None) {
    // Left to right: what we have so far becomes the left operand.
    ChargeBytes(sizeof(ExpressionNode));
    auto* merged = new ExpressionNode{};
    merged->left = ScriptValue::MakeSubExpression(top);
    nodeStack_.back() = merged;
    top = merged;
  }
  top->op = code;
  if (top->left.type == ValueType::SubExpression && top->left.node &&
      top->left.node->right.type == ValueType::Unset) {
    top->left.node->right = resultValue_;
  } else if (top->left.type == ValueType::Unset) {
    top->left = resultValue_;
  }
}

void ScriptEngine::CloseGroup(int depthAfter, const FunctionRecord* record,
                              std::vector<ScriptValue>* locals) {
  ExpressionNode* top = nodeStack_.back();
  if (top->right.type == ValueType::Unset) top->right = resultValue_;
  nodeStack_.pop_back();
  if (depthAfter == 0) {
    Evaluate(top, record, locals, resultValue_);
    FreeExpression(top);
    return;
  }
  ExpressionNode* parent = nodeStack_.back();
  ScriptValue& slot = parent->op != OperatorCode::None ? parent->right : parent->left;
  if (slot.type == ValueType::SubExpression) FreeExpression(slot.node);
  slot = ScriptValue::MakeSubExpression(top);
}

void ScriptEngine::ReleaseOpenGroups(int depth) {
  for (; depth > 0 && !nodeStack_.empty(); --depth) {
    FreeExpression(nodeStack_.back());
    nodeStack_.pop_back();
  }
}

}  // namespace korvel
