// Shared fixture: an engine whose trace lines are captured.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "script/script_engine.h"

namespace korvel::testing_support {

class ScriptTest : public ::testing::Test {
 protected:
  ScriptTest() {
    engine.SetTraceSink([this](const char* line) { trace.emplace_back(line); });
  }

  std::vector<std::string> Tokens() const {
    std::vector<std::string> out;
    for (const auto& token : engine.Tokens()) out.emplace_back(token.get());
    return out;
  }

  // Replaces the compiled script by the globals and one function "main" with the body, then runs it.
  bool Run(const std::string& body, const std::string& globals = "") {
    engine.ClearCompiled();
    const std::string script = globals + "\n:main\n" + body + "\n:\n";
    EXPECT_TRUE(engine.CompileScript(script.c_str())) << script;
    return engine.RunFunction("main");
  }

  const ScriptValue& Global(const char* name) const {
    const auto& names = engine.GlobalNames();
    for (std::size_t i = 0; i < names.size(); ++i) {
      if (std::strcmp(names[i], name) == 0) return engine.GlobalValues()[i];
    }
    ADD_FAILURE() << "no global " << name;
    static const ScriptValue none;
    return none;
  }

  std::int32_t GlobalInt(const char* name) const {
    const ScriptValue& v = Global(name);
    EXPECT_EQ(v.type, ValueType::Integer) << name;
    return v.integer;
  }

  std::string GlobalText(const char* name) const {
    const ScriptValue& v = Global(name);
    EXPECT_EQ(v.type, ValueType::Text) << name;
    return v.type == ValueType::Text ? v.text : "";
  }

  const std::vector<std::string>& Messages() const { return engine.Messages(); }
  ScriptEngine engine;
  std::vector<std::string> trace;
};

}  // namespace korvel::testing_support
