// The script language: compiler, variables, expression evaluator and
// executor, all state held in one ScriptEngine per patch.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "script/script_value.h"

namespace korvel {

class ScriptEngine {
 public:
  using OwnedText = std::unique_ptr<char[]>;
  // Receives every trace line; an empty sink discards them.
  using TraceSink = std::function<void(const char*)>;

  static constexpr std::size_t kConcatBufferSize = 32768;
  static constexpr std::size_t kFormatBufferSize = 300;
  static constexpr std::size_t kLineBufferSize = 1024;
  static constexpr std::int64_t kDefaultStepLimit = 10'000'000;
  static constexpr int kDefaultCallDepthLimit = 256;
  // Work that is not one token is charged as steps too, so that every step
  // costs about the same time (some tens of nanoseconds): one step per this
  // many names or tokens searched, and per this many bytes a run takes —
  // every text it copies or builds, every expression node, the local values
  // of a call, a block's entry — charged before it is taken. So the step
  // limit bounds a run's memory as well as its time: 10,000,000 steps hold
  // at most about 80 MB.
  static constexpr std::size_t kSearchPerStep = 4;
  static constexpr std::size_t kBytesPerStep = 8;
  // The message list keeps at most this many; a run cannot fill memory
  // with repeated warnings.
  static constexpr std::size_t kMaxMessages = 1000;

  ScriptEngine();
  ~ScriptEngine();
  ScriptEngine(const ScriptEngine&) = delete;
  ScriptEngine& operator=(const ScriptEngine&) = delete;

  // Compiler (checker.cpp).
  bool CompileScript(const char* text);
  bool ClearCompiled();

  // Messages and variables (values.cpp).
  void AddMessage(const char* text);
  void ClearMessages();
  ScriptValue* FindVariable(const FunctionRecord* record, const char* name,
                            std::vector<ScriptValue>* locals);
  void AssignVariable(const ScriptValue& value, const FunctionRecord* record,
                      const char* name, std::vector<ScriptValue>* locals);
  void ReleaseTexts(std::vector<ScriptValue>& values);

  // Expressions (expressions.cpp).
  void Evaluate(const ExpressionNode* node, const FunctionRecord* record,
                std::vector<ScriptValue>* locals, ScriptValue& destination);
  static void FreeExpression(ExpressionNode* node);

  // Executor (executor.cpp).
  bool RunFunction(const char* name);

  // Trace output and run guards.
  void SetTraceSink(TraceSink sink) { traceSink_ = std::move(sink); }
  void SetStepLimit(std::int64_t steps) { stepLimit_ = steps; }
  std::int64_t StepLimit() const { return stepLimit_; }
  void SetCallDepthLimit(int depth) { callDepthLimit_ = depth; }
  int CallDepthLimit() const { return callDepthLimit_; }

  // Read access for the editor and for tests.
  const std::vector<std::string>& Messages() const { return messageList_; }
  const std::vector<OwnedText>& Tokens() const { return tokenList_; }
  const std::vector<OwnedText>& Strings() const { return stringTable_; }
  const std::vector<OwnedText>& MessageLiterals() const { return messageTable_; }
  const std::vector<FunctionRecord>& Functions() const { return functionList_; }
  const std::vector<const char*>& GlobalNames() const { return globalNames_; }
  const std::vector<ScriptValue>& GlobalValues() const { return globalValues_; }
  const ScriptValue& Result() const { return resultValue_; }
  std::size_t OpenNodeCount() const { return nodeStack_.size(); }
  // Why the last stop of the last top-level run happened ("step limit
  // reached", "operator '+' outside a group", a message's text...), or
  // empty when nothing stopped. Only meaningful when the run answered false.
  const std::string& StopReason() const { return stopReason_; }
  std::int64_t StepsTaken() const { return stepsTaken_; }

  // Charges work to the running script: names or tokens searched, bytes
  // taken. Each answers whether the run is still within its steps; the
  // caller does not take what it could not pay for.
  bool ChargeSearch(std::size_t items) {
    stepsTaken_ += static_cast<std::int64_t>(items / kSearchPerStep);
    return stepsTaken_ <= stepLimit_;
  }
  bool ChargeBytes(std::size_t bytes) {
    stepsTaken_ += static_cast<std::int64_t>((bytes + kBytesPerStep - 1) / kBytesPerStep);
    return stepsTaken_ <= stepLimit_;
  }

 private:
  struct CompileBuffers;

  bool FailCompile(const char* message);
  bool CompileLine(const char* line, std::size_t length, CompileBuffers& buffers);
  void AppendToken(const char* start, std::size_t length);
  bool JoinOperator(char c);
  bool CheckTokens(std::size_t first);

  const char* Format(const char* format, const char* a, const char* b = nullptr);
  const char* Format(const char* format, int value);
  void BeforeTextRelease(const char* text);
  void KeepNodeCopies(const char* text);

  void OpenGroup();
  void ApplyOperator(OperatorCode code);
  void CloseGroup(int depthAfter, const FunctionRecord* record,
                  std::vector<ScriptValue>* locals);
  void ReleaseOpenGroups(int depth);

  bool Execute(const FunctionRecord& record);
  void Trace(const char* format, const char* text);
  std::size_t FindBlockEnd(std::size_t from, const char* raise, const char* end,
                           const char* alsoEnd, const char* lower);
  bool StepLimitReached();

  std::array<char, kConcatBufferSize> concatBuffer_{};
  std::vector<std::string> messageList_;
  std::vector<OwnedText> stringTable_;
  std::vector<OwnedText> messageTable_;
  std::vector<OwnedText> tokenList_;
  std::vector<const char*> globalNames_;
  std::vector<ScriptValue> globalValues_;
  std::vector<FunctionRecord> functionList_;
  std::vector<ExpressionNode*> nodeStack_;
  std::array<char, kFormatBufferSize> formatBuffer_{};
  ScriptValue resultValue_;

  // Holds the result register's text when the variable it borrowed from
  // lets go of it (a function's local at the end of its run, say).
  std::array<char, kConcatBufferSize> resultText_{};

  TraceSink traceSink_;
  std::int64_t stepLimit_ = kDefaultStepLimit;
  int callDepthLimit_ = kDefaultCallDepthLimit;
  std::int64_t stepsTaken_ = 0;
  int activeRuns_ = 0;
  bool halted_ = false;  // a guard fired: every open run stops
  std::string stopReason_;
};

}  // namespace korvel
