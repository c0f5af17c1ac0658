// The engine's hold on its ScriptEngine.
#include <new>

#include "engine/patch_engine.h"
#include "script/script_engine.h"

namespace korvel {

void ScriptEngineDeleter::operator()(ScriptEngine* script) const { delete script; }
ScriptEngine* NewScriptEngine() { return new (std::nothrow) ScriptEngine(); }
void CompileScriptText(ScriptEngine& script, const char* text) { script.CompileScript(text); }

}  // namespace korvel
