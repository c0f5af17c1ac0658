// ".korvel" files: the Module menu's Load Module and Save Module as, and
// the file reading and writing beneath them. A file holds exactly the
// module image (engine/module_image.h).
#pragma once

#include <string>

#include "engine/file_io.h"
#include "engine/module_image.h"
#include "engine/sound_paths.h"

namespace korvel {

class PatchEngine;

namespace text {
inline constexpr char kLoadConfirm[] = "Are you sure? This will clear the current module.";
inline constexpr char kLoadModuleTitle[] = "Load Module";
inline constexpr char kLoadDialogTitle[] = "Load Korvel Module";
inline constexpr char kSaveModuleTitle[] = "Save Module as";
inline constexpr char kSaveDialogTitle[] = "Save Korvel Module as";
inline constexpr char kModuleFilterName[] = "Korvel Module (*.korvel)";
inline constexpr char kModuleFilterPattern[] = "*.korvel";
inline constexpr char kModuleExtension[] = "korvel";
inline constexpr char kUntitledModuleFile[] = "Untitled.korvel";
// The file's name, then the reason.
inline constexpr char kCouldNotLoad[] = "Couldn't load \"%s\": %s";
inline constexpr char kCouldNotSave[] = "Couldn't save \"%s\": %s";
inline constexpr char kEmptyModuleFile[] = "the file is empty";
}  // namespace text

// Asks for confirmation and a file, then replaces the module with the
// file's. Answers true when the module was replaced. Any failure is shown in
// a message box and leaves the module as it was.
bool LoadModuleCommand(PatchEngine& engine);
// Asks for a file name and writes the module there. Answers true when saved.
// A failed save is shown in a message box and leaves any old file intact.
bool SaveModuleAsCommand(PatchEngine& engine);

// How module files are read: regular files only, up to the image bound.
// An empty file is refused by LoadModuleFile (an empty image, which
// changes nothing, comes only from a host's chunk).
inline constexpr ReadLimits kModuleFileLimits{kMaxModuleImageSize};

// The commands' work without dialogs, through the one file reader and
// writer (engine/file_io.h); `error` is one line naming the reason (the
// caller names the file). Sound files are read and written relative to
// the module file's folder, which becomes the engine's ModuleFolder().
bool LoadModuleFile(PatchEngine& engine, const std::string& path, std::string& error);
// Writes a fresh temporary file beside `path` and renames it over `path`
// when complete; with Existing::kKeep an existing file is refused instead.
bool SaveModuleFile(PatchEngine& engine, const std::string& path, std::string& error,
                    Existing existing = Existing::kReplace);

}  // namespace korvel
