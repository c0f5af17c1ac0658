// Executor: walks a function's tokens with one result register, bracket
// groups, block words, assignments and calls.
#include <bit>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>

#include "script/script_engine.h"
#include "script/script_messages.h"

namespace korvel {

namespace {

constexpr std::size_t kNotFound = static_cast<std::size_t>(-1);

bool Equals(const char* a, const char* b) { return std::strcmp(a, b) == 0; }

OperatorCode OperatorFromToken(const char* token) {
  struct Entry {
    const char* token;
    OperatorCode code;
  };
  static constexpr Entry kOperators[] = {
      {"+", OperatorCode::Add},          {"-", OperatorCode::Subtract},
      {"*", OperatorCode::Multiply},     {"/", OperatorCode::Divide},
      {"==", OperatorCode::Equal},       {"!=", OperatorCode::NotEqual},
      {">", OperatorCode::Greater},      {"<", OperatorCode::Less},
      {">=", OperatorCode::GreaterEqual}, {"<=", OperatorCode::LessEqual},
      {"&&", OperatorCode::And},         {"||", OperatorCode::Or},
  };
  for (const Entry& entry : kOperators) {
    if (Equals(token, entry.token)) return entry.code;
  }
  return OperatorCode::None;
}

// The result register's payload as a bit pattern: any text counts as true.
bool Condition(const ScriptValue& value) {
  switch (value.type) {
    case ValueType::Text: return value.text != nullptr;
    case ValueType::Integer: return value.integer != 0;
    case ValueType::Float: return std::bit_cast<std::uint32_t>(value.real) != 0;
    default: return false;
  }
}

// Index after "@S" or "@M": digits only, or not a valid entry.
std::size_t MarkerIndex(const char* digits, std::size_t tableSize) {
  if (*digits == '\0') return kNotFound;
  std::size_t index = 0;
  for (const char* p = digits; *p; ++p) {
    if (*p < '0' || *p > '9') return kNotFound;
    index = index * 10 + static_cast<std::size_t>(*p - '0');
    if (index >= tableSize) return kNotFound;
  }
  return index;
}

enum class NumberReading { NotANumber, Number, Malformed };

NumberReading ReadNumber(const char* token, ScriptValue& out) {
  std::size_t digits = 0;
  std::int64_t value = 0;
  while (token[digits] >= '0' && token[digits] <= '9') {
    value = value * 10 + (token[digits] - '0');
    if (value > std::numeric_limits<std::int32_t>::max()) {
      value = std::numeric_limits<std::int32_t>::max();  // saturate like strtol
    }
    ++digits;
  }
  if (digits == 0) return NumberReading::NotANumber;
  const std::size_t length = std::strlen(token);
  if (token[digits] == '.') {
    double real = 0.0;
    const auto [end, error] = std::from_chars(token, token + length, real, std::chars_format::general);
    if (end != token + length) return NumberReading::Malformed;
    if (error == std::errc::result_out_of_range) {
      const char* e = std::strpbrk(token, "eE");
      real = (e && e[1] == '-') ? 0.0 : std::numeric_limits<double>::infinity();
    }
    const double kMax = std::numeric_limits<float>::max();
    out = ScriptValue::MakeFloat(real > kMax ? std::numeric_limits<float>::infinity()
                                             : static_cast<float>(real));
    return NumberReading::Number;
  }
  if (digits != length) return NumberReading::Malformed;
  out = ScriptValue::MakeInteger(static_cast<std::int32_t>(value));
  return NumberReading::Number;
}

}  // namespace

void ScriptEngine::Trace(const char* format, const char* text) {
  if (!traceSink_) return;
  // Tokens and literals come from lines shorter than the line buffer, so
  // one line of trace fits here; anything longer would be cut.
  char line[kLineBufferSize + 64];
  std::snprintf(line, sizeof line, format, text);
  traceSink_(line);
}

std::size_t ScriptEngine::FindBlockEnd(std::size_t from, const char* raise, const char* end,
                                       const char* alsoEnd, const char* lower) {
  int level = 0;
  for (std::size_t i = from; i < tokenList_.size(); ++i) {
    const char* token = tokenList_[i].get();
    if (Equals(token, raise)) {
      ++level;
    } else if (level == 0) {
      if (Equals(token, end) || (alsoEnd && Equals(token, alsoEnd))) {
        ChargeSearch(i - from);
        return i;
      }
    } else if (Equals(token, lower)) {
      --level;
    }
  }
  ChargeSearch(tokenList_.size() - from);
  return kNotFound;
}

// The step guard: a run that has used up its steps stops everywhere, with
// one message.
bool ScriptEngine::StepLimitReached() {
  if (stepsTaken_ <= stepLimit_) return false;
  if (!halted_) {
    messageList_.emplace_back(script_text::kStepLimit);  // even past the message cap
    stopReason_ = "step limit reached";
    halted_ = true;
  }
  return true;
}

bool ScriptEngine::RunFunction(const char* name) {
  if (!name) return false;
  const FunctionRecord* record = nullptr;
  std::size_t searched = 0;
  for (const FunctionRecord& candidate : functionList_) {
    ++searched;
    if (Equals(candidate.name, name)) {
      record = &candidate;
      break;
    }
  }
  if (!record) return false;

  if (activeRuns_ == 0) {
    stepsTaken_ = 0;
    halted_ = false;
    stopReason_.clear();
  } else if (halted_) {
    return false;
  }
  // A call is a step, and so is its return (in Execute): calling an empty
  // function is not free. Its local values are memory the run takes.
  ++stepsTaken_;
  ChargeSearch(searched);
  ChargeBytes(record->localNames.size() * sizeof(ScriptValue));
  if (StepLimitReached()) return false;
  // Runaway recursion ends the whole run, not just the innermost call:
  // otherwise each level would go on calling and the tree would explode.
  if (activeRuns_ >= callDepthLimit_) {
    messageList_.emplace_back(script_text::kCallDepthLimit);  // even past the message cap
    stopReason_ = "call depth limit reached";
    halted_ = true;
    return false;
  }
  ++activeRuns_;
  const bool complete = Execute(*record);
  --activeRuns_;
  return complete;
}

bool ScriptEngine::Execute(const FunctionRecord& record) {
  std::vector<ScriptValue> locals(record.localNames.size(), ScriptValue::MakeInteger(0));
  std::vector<ControlEntry> control;
  std::size_t pos = record.openingIndex + 1;
  int depth = 0;

  auto finish = [&](bool complete) {
    ++stepsTaken_;  // the return
    ReleaseOpenGroups(depth);
    ReleaseTexts(locals);
    return complete;
  };
  auto stopWith = [&](const char* message) {
    stopReason_ = message;
    while (!stopReason_.empty() && stopReason_.back() == '\n') stopReason_.pop_back();
    AddMessage(message);
    return finish(false);
  };
  // Stops that add no message still say why, for StopReason.
  auto stopSilently = [&](std::string reason) {
    stopReason_ = std::move(reason);
    return finish(false);
  };
  auto insideGroup = [&](const char* token) { return stopSilently(std::string("'") + token + "' inside a group"); };
  // Block words that need an entry on the control stack.
  auto noOpenBlock = [&](const char* token) {
    return stopWith(Format(script_text::kNoOpenBlock, token));
  };

  for (;;) {
    if (halted_) return finish(false);
    if (pos >= tokenList_.size()) return finish(true);  // function left open at the end
    const char* token = tokenList_[pos].get();
    if (token[0] == ':') return finish(true);
    ++stepsTaken_;
    if (StepLimitReached()) return finish(false);
    Trace(script_text::kTraceToken, token);

    if (Equals(token, "(")) {
      OpenGroup();  // charges its node; the next token's check stops an overrun
      ++depth;
      ++pos;
      continue;
    }
    if (const OperatorCode code = OperatorFromToken(token); code != OperatorCode::None) {
      if (depth == 0) return stopSilently(std::string("operator '") + token + "' outside a group");
      ApplyOperator(code);
      ++pos;
      continue;
    }
    if (Equals(token, ">>")) {
      if (depth > 0) return insideGroup(token);
      const char* name = pos + 1 < tokenList_.size() ? tokenList_[pos + 1].get() : nullptr;
      AssignVariable(resultValue_, &record, name, &locals);
      pos += 2;
      continue;
    }
    if (Equals(token, ")")) {
      if (depth == 0) return stopWith(script_text::kCloseWithoutOpen);
      --depth;
      CloseGroup(depth, &record, &locals);
      ++pos;
      continue;
    }
    if (token[0] == '@') {
      if (token[1] == 'S' || token[1] == 'M') {
        const bool isString = token[1] == 'S';
        const auto& table = isString ? stringTable_ : messageTable_;
        const std::size_t index = MarkerIndex(token + 2, table.size());
        if (index == kNotFound) return stopWith(Format(script_text::kUnknown, token));
        if (isString) {
          resultValue_ = ScriptValue::MakeText(table[index].get());
        } else {
          Trace(script_text::kTraceMessage, table[index].get());
        }
      }
      ++pos;
      continue;
    }
    ScriptValue number;
    switch (ReadNumber(token, number)) {
      case NumberReading::Number:
        resultValue_ = number;
        ++pos;
        continue;
      case NumberReading::Malformed:
        return stopWith(script_text::kParseNumber);
      case NumberReading::NotANumber:
        break;
    }
    if (Equals(token, "var")) {
      if (depth > 0) return insideGroup(token);
      pos += 2;
      continue;
    }
    if (Equals(token, "if")) {
      if (depth > 0) return insideGroup(token);
      ChargeBytes(sizeof(ControlEntry));
      control.push_back({BlockCode::IfOpen, 0});
      ++pos;
      continue;
    }
    if (Equals(token, "then")) {
      if (depth > 0) return insideGroup(token);
      if (control.empty()) return noOpenBlock(token);
      if (control.back().code != BlockCode::IfOpen) return stopSilently("'then' without its 'if'");
      if (Condition(resultValue_)) {
        control.back().code = BlockCode::IfTrue;
        ++pos;
        continue;
      }
      control.back().code = BlockCode::IfFalse;
      pos = FindBlockEnd(pos + 1, "if", "else", "endif", "endif");
      if (pos == kNotFound) return stopWith(script_text::kNoElseOrEndif);
      continue;
    }
    if (Equals(token, "else")) {
      if (control.empty()) return noOpenBlock(token);
      const BlockCode code = control.back().code;
      if (code == BlockCode::IfOpen) return stopWith(script_text::kThenMissing);
      if (code == BlockCode::IfTrue) {
        pos = FindBlockEnd(pos + 1, "if", "endif", nullptr, "endif");
        if (pos == kNotFound) return stopWith(script_text::kNoEndif);
        continue;
      }
      ++pos;  // the else branch runs
      continue;
    }
    if (Equals(token, "endif")) {
      if (depth > 0) return insideGroup(token);
      if (control.empty()) return noOpenBlock(token);
      control.pop_back();
      ++pos;
      continue;
    }
    if (Equals(token, "do")) {
      if (depth > 0) return insideGroup(token);
      ChargeBytes(sizeof(ControlEntry));
      control.push_back({BlockCode::DoOpen, pos});
      ++pos;
      continue;
    }
    const bool whileTrue = Equals(token, "whiletrue");
    if (whileTrue || Equals(token, "whilefalse")) {
      if (depth > 0) return insideGroup(token);
      if (control.empty()) return noOpenBlock(token);
      if (control.back().code != BlockCode::DoOpen) return stopSilently(std::string("'") + token + "' without its 'do'");
      if (Condition(resultValue_) == whileTrue) {
        control.back().code = BlockCode::DoRunning;
        ++pos;
        continue;
      }
      pos = FindBlockEnd(pos + 1, "do", "loop", nullptr, "loop");
      if (pos == kNotFound) return stopWith(script_text::kNoLoop);
      continue;
    }
    if (Equals(token, "loop")) {
      if (depth > 0) return insideGroup(token);
      if (control.empty()) return noOpenBlock(token);
      ControlEntry& top = control.back();
      if (top.code == BlockCode::DoRunning) {
        // Back to the while test, which must pass again to re-enter the body.
        top.code = BlockCode::DoOpen;
        pos = top.doPosition + 1;
      } else {
        control.pop_back();
        ++pos;
      }
      continue;
    }
    if (const ScriptValue* variable = FindVariable(&record, token, &locals)) {
      resultValue_ = *variable;
      ++pos;
      continue;
    }
    int calls = 0;
    for (const FunctionRecord& candidate : functionList_) {
      if (Equals(candidate.name, token)) ++calls;
    }
    ChargeSearch(functionList_.size());
    if (calls > 0) {
      // A same-named later definition is unreachable: each call runs the first.
      for (int i = 0; i < calls && !halted_; ++i) RunFunction(token);
      ++pos;
      continue;
    }
    return stopWith(Format(script_text::kUnknown, token));
  }
}

}  // namespace korvel
