// Module files as the command-line host reads them. A file is checked
// with the plug-in's own image reader (no engine is built for it), then
// loaded into the one engine a command uses: the plug-in's.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "engine/patch_engine.h"
#include "tools/pluginhost/plugin_host.h"

namespace korvel::cli {

// How messages name a file the user gave: 'PATH', or "standard input"
// for "-".
std::string InputName(const std::string& path);

// The bytes of a module file (a pipe too; "-" is standard input), read
// through the one reader (engine/file_io.h). A directory, a device, an
// empty file, a file larger than the plug-in accepts (told before reading
// it) or a file the image reader refuses is not a module: nothing, with
// `error` set ("cannot read 'FILE': reason" or "'FILE': reason").
std::optional<std::string> ReadModuleFile(const std::string& path, std::string& error);

// The plug-in library beside this program with one initialised module.
struct PluginSession {
  std::unique_ptr<pluginhost::Library> library;
  std::unique_ptr<pluginhost::Module> module;
};
std::optional<PluginSession> OpenPlugin(std::string& error);

// Hands a checked module image to the plug-in as a host restores a project,
// with the module file's folder declared for the sound files it names.
// Answers false with `error` set when the plug-in refuses it; every refusal
// is reported from here. Sound files that could not be loaded are no
// refusal: the plug-in's SoundProblems() names them.
bool LoadIntoPlugin(pluginhost::Module& module, const std::string& image, const std::string& path,
                    std::string& error);

// A module file read into an engine of this process, for the commands that
// look at the patch itself (draw, and plot's look at its types) rather than
// play it; those build no other engine.
struct LoadedModule {
  std::string bytes;                    // the file as it stands
  std::unique_ptr<PatchEngine> engine;  // the module it describes
};
std::unique_ptr<LoadedModule> LoadModule(const std::string& path, std::string& error);

// A reset engine with no host around it (korvel new).
std::unique_ptr<PatchEngine> NewEngine();

}  // namespace korvel::cli
