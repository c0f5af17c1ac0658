// Shared fixture: an engine whose trace lines are captured.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "script/script_engine.h"

namespace korvel::testing_support {

using Strings = std::vector<std::string>;

class ScriptTest : public ::testing::Test {
 protected:
  ScriptTest() { engine.SetTraceSink([this](const char* line) { trace.emplace_back(line); }); }

  static Strings Texts(const std::vector<ScriptEngine::OwnedText>& list) {
    Strings out;
    for (const auto& text : list) out.emplace_back(text.get());
    return out;
  }
  Strings Tokens() const { return Texts(engine.Tokens()); }

  // Replaces the compiled script by the globals and one function "main" with the body, then runs it.
  bool Run(const std::string& body, const std::string& globals = "") {
    engine.ClearCompiled();
    const std::string script = globals + "\n:main\n" + body + "\n:\n";
    EXPECT_TRUE(engine.CompileScript(script.c_str())) << script;
    return engine.RunFunction("main");
  }

  const ScriptValue& Value(const std::string& name) const {
    static const ScriptValue none;
    for (std::size_t i = 0; i < engine.GlobalNames().size(); ++i)
      if (name == engine.GlobalNames()[i]) return engine.GlobalValues()[i];
    ADD_FAILURE() << "no global " << name;
    return none;
  }
  // Space-separated globals shown as "int 9, float 3.5, text ab".
  std::string Globals(const std::string& names) const {
    std::istringstream in(names);
    std::string name, out;
    while (in >> name) out += (out.empty() ? "" : ", ") + Show(Value(name));
    return out;
  }
  static std::string Show(const ScriptValue& v) {
    char number[40];
    if (v.type == ValueType::Text) return std::string("text ") + v.text;
    if (v.type == ValueType::Integer) return "int " + std::to_string(v.integer);
    if (v.type != ValueType::Float) return "type " + std::to_string(static_cast<int>(v.type));
    if (std::isinf(v.real)) return v.real > 0 ? "float inf" : "float -inf";
    std::snprintf(number, sizeof number, "float %.9g", v.real);
    return number;
  }

  const Strings& Messages() const { return engine.Messages(); }
  ScriptEngine engine;
  Strings trace;
};

}  // namespace korvel::testing_support
