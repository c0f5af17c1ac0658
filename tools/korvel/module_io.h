// Module files as the command-line host reads them: checked with the same
// reader the plug-in uses, in a scratch engine of this process, so a bad
// file is reported with the plug-in's own words before any audio is made.
#pragma once

#include <memory>
#include <string>

#include "engine/patch_engine.h"

namespace korvel::cli {

struct LoadedModule {
  std::string bytes;                    // the file as it stands
  std::unique_ptr<PatchEngine> engine;  // the module it describes
  // What a plug-in module lends its engine: parameter names and values.
  char parameter_names[kNamedParameterCount][kParameterNameSize] = {};
  double parameter_values[kParameterCount] = {};
};

// Null with `error` set ("'FILE': reason") when the file cannot be read or
// is not a valid module.
std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error);

// A reset engine with no host around it.
std::unique_ptr<PatchEngine> NewEngine();

}  // namespace korvel::cli
