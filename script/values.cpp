// Engine lifetime, the message list and variables.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "script/script_engine.h"
#include "script/script_messages.h"

namespace korvel {

namespace {

char* DuplicateText(const char* text) {
  if (!text) text = "";
  const std::size_t length = std::strlen(text);
  char* copy = new char[length + 1];
  std::memcpy(copy, text, length + 1);
  return copy;
}

}  // namespace

ScriptEngine::ScriptEngine()
    : traceSink_([](const char* line) { std::fputs(line, stdout); }) {}

ScriptEngine::~ScriptEngine() {
  ClearCompiled();
  // Runs always release their groups; this only guards against misuse.
  for (ExpressionNode* node : nodeStack_) FreeExpression(node);
}

void ScriptEngine::AddMessage(const char* text) {
  if (messageList_.size() + 1 < kMaxMessages) {
    messageList_.emplace_back(text ? text : "");
  } else if (messageList_.size() + 1 == kMaxMessages) {
    messageList_.emplace_back(script_text::kTooManyMessages);
  }
}

void ScriptEngine::ClearMessages() { messageList_.clear(); }

// snprintf cuts anything longer than the buffer, which is what we want.
const char* ScriptEngine::Format(const char* format, const char* a, const char* b) {
  std::snprintf(formatBuffer_.data(), formatBuffer_.size(), format, a ? a : "", b ? b : "");
  return formatBuffer_.data();
}

const char* ScriptEngine::Format(const char* format, int value) {
  std::snprintf(formatBuffer_.data(), formatBuffer_.size(), format, value);
  return formatBuffer_.data();
}

ScriptValue* ScriptEngine::FindVariable(const FunctionRecord* record, const char* name,
                                        std::vector<ScriptValue>* locals) {
  if (!record || !name || !locals) return nullptr;
  const std::size_t localCount = std::min(record->localNames.size(), locals->size());
  for (std::size_t i = 0; i < localCount; ++i) {
    if (std::strcmp(record->localNames[i], name) == 0) {
      ChargeSearch(i);
      return &(*locals)[i];
    }
  }
  for (std::size_t i = 0; i < globalNames_.size(); ++i) {
    if (std::strcmp(globalNames_[i], name) == 0) {
      ChargeSearch(localCount + i);
      return &globalValues_[i];
    }
  }
  ChargeSearch(localCount + globalNames_.size());
  return nullptr;
}

void ScriptEngine::AssignVariable(const ScriptValue& value, const FunctionRecord* record,
                                  const char* name, std::vector<ScriptValue>* locals) {
  ScriptValue* variable = FindVariable(record, name, locals);
  if (!variable) {
    AddMessage(Format(script_text::kVariableNotFound, name));
    return;
  }
  // Copy before releasing: the value may borrow the very text being replaced.
  // A copy the run cannot pay for is not made (the run is stopping).
  ScriptValue next = value;
  if (next.type == ValueType::Text) {
    if (!ChargeBytes(std::strlen(value.text ? value.text : "") + 1)) return;
    next.text = DuplicateText(value.text);
  }
  if (variable->type == ValueType::Text) {
    BeforeTextRelease(variable->text);
    delete[] variable->text;
  }
  *variable = next;
}

void ScriptEngine::ReleaseTexts(std::vector<ScriptValue>& values) {
  for (ScriptValue& value : values) {
    if (value.type != ValueType::Text) continue;
    BeforeTextRelease(value.text);
    delete[] value.text;
    value = ScriptValue::MakeInteger(0);
  }
}

// The result register and open groups borrow texts; before an owner frees
// one, the borrowers get a copy of their own so nothing points at freed memory.
void ScriptEngine::BeforeTextRelease(const char* text) {
  if (!text) return;
  KeepNodeCopies(text);
  if (resultValue_.type == ValueType::Text && resultValue_.text == text) {
    KeepNodeCopies(resultText_.data());
    std::size_t length = std::strlen(text);
    if (length >= resultText_.size()) length = resultText_.size() - 1;
    if (!ChargeBytes(length)) length = 0;  // out of steps: the run is stopping
    std::memmove(resultText_.data(), text, length);
    resultText_[length] = '\0';
    resultValue_.text = resultText_.data();
  }
}

// Every node is visited (a step per kSearchPerStep of them) and every copy
// charged. Once the run is out of steps a borrower gets an empty text
// instead of a copy: it must not keep pointing at the text, and the run is
// stopping anyway.
void ScriptEngine::KeepNodeCopies(const char* text) {
  if (nodeStack_.empty()) return;
  static char empty[1] = "";
  std::vector<ExpressionNode*> pending(nodeStack_.begin(), nodeStack_.end());
  const std::size_t length = std::strlen(text);
  std::size_t visited = 0;
  auto keep = [&](ScriptValue& operand, OwnedText& kept, std::vector<ExpressionNode*>& more) {
    if (operand.type == ValueType::SubExpression && operand.node) {
      more.push_back(operand.node);
    } else if (operand.type == ValueType::Text && operand.text == text) {
      if (ChargeBytes(length + 1)) {
        kept.reset(DuplicateText(text));
        operand.text = kept.get();
      } else {
        kept.reset();
        operand.text = empty;
      }
    }
  };
  while (!pending.empty()) {
    ExpressionNode* node = pending.back();
    pending.pop_back();
    ++visited;
    keep(node->left, node->keptLeft, pending);
    keep(node->right, node->keptRight, pending);
  }
  ChargeSearch(visited);
}

}  // namespace korvel
