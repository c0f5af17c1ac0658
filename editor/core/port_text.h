// What the status line says about a port: the line of the component's
// info text that describes it. Platform-free, for every editor.
#pragma once

#include <string>

#include "engine/patch_engine.h"

namespace korvel::editor_core {

// The line of an info text that describes input (or output) `index`,
// counted from 0: "in2: Cutoff"; also finds ranges such as "out1 - out8: ...".
// Without one, "in3" or "out2".
std::string PortLine(const char* info, bool output, int index);
// The info text of a component type (every type's text is fixed).
std::string InfoTextOf(int type);

}  // namespace korvel::editor_core
