// Feeds arbitrary bytes to the script compiler and runs "main" with small
// guards, looking for crashes, leaks and out-of-bounds accesses.
#include <cstddef>
#include <cstdint>
#include <string>

#include "script/script_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);  // adds the NUL
  korvel::ScriptEngine engine;
  engine.SetTraceSink(nullptr);
  engine.SetStepLimit(100000);
  engine.SetCallDepthLimit(64);
  if (engine.CompileScript(text.c_str())) {
    engine.RunFunction("main");
    engine.RunFunction("main");  // globals carry over between runs
  }
  engine.ClearMessages();
  engine.ClearCompiled();
  return 0;
}
