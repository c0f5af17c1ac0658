// The module image: the whole Module as UTF-8 JSON, carried by ".korvel"
// files and by the host's state chunk. docs/module-format.md describes it
// for people who write modules by hand.
#pragma once

#include <cstddef>
#include <string>

#include "engine/sound_paths.h"

namespace korvel {

class PatchEngine;

inline constexpr char kModuleImageFormat[] = "korvel-module";
inline constexpr int kModuleImageVersion = 1;
// Far beyond any real module (256 fully wired components and a long script
// make well under 2 MiB); a larger image is refused before it is parsed, or
// even read, so the 32-bit product never spends its address space on one.
inline constexpr std::size_t kMaxModuleImageSize = std::size_t{4} << 20;
// JSON values (objects, lists, numbers, texts...) an image may hold; every
// component, parameter and wire of the fullest module fits many times over.
// Counted before the document is built, so parsing memory stays a small
// multiple of the image.
inline constexpr std::size_t kMaxModuleImageValues = std::size_t{1} << 18;

// The reason given for an image, file or chunk past kMaxModuleImageSize:
// "`what` is too large (N bytes; at most 4194304)".
std::string TooLargeReason(const char* what, unsigned long long size);

// Every field, in a fixed order, so that the same module always gives the
// same bytes. Sound files are written as `paths` stores them (absolute by
// default).
// kLeftOut leaves the host's parameter values out (they are the host's to
// change, not the patch's): what the editors' history stores.
enum class ParameterValues { kWritten, kLeftOut };
std::string WriteModuleImage(const PatchEngine& engine, const ImagePaths& paths = {},
                             ParameterValues values = ParameterValues::kWritten);

// Replaces the whole module with the image's: built under the edit lock
// and handed to the audio thread as one new plan. The image is checked
// completely first: when anything is wrong the answer is
// false, `error` holds one line naming the offending item, and the module is
// exactly as it was. An empty image changes nothing and answers true.
//
// Sound files the image names are read through `paths` and loaded on the
// calling thread after the checks and before the edit lock is taken, so the
// new plan is published with every sound in place. A sound that cannot be
// loaded does not refuse the image: that component stays silent and
// engine.SoundProblems() names the file and the reason.
bool ReadModuleImage(PatchEngine& engine, const void* data, std::size_t size, std::string& error,
                     const ImagePaths& paths = {});
// The same checks, then brings the module to the image with the fewest
// changes, for undo, redo and paste: components the image keeps as they
// are (type and settings) keep their records, so they sound on without a
// break; the delay lines, the script's state (unless its text changes) and
// the host's parameter values are left alone. At another oversampling
// factor it replaces the module as ReadModuleImage does.
bool RestoreModuleImage(PatchEngine& engine, const std::string& image, std::string& error);
// The same checks and the same answer, with no engine to change.
bool CheckModuleImage(const void* data, std::size_t size, std::string& error);

}  // namespace korvel
