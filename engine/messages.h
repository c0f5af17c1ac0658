// Texts the engine shows the user, written once.
#pragma once

namespace korvel::text {

inline constexpr char kNoComponentSpace[] = "Couldn't create component, no more component space left, sorry.";
inline constexpr char kComponentCreationTitle[] = "Component Creation Problem";

inline constexpr char kDefaultScript[] = "# TODO: Insert code below\r\n\r\n:Main\r\n\r\n:\r\n";
inline constexpr char kDefaultModuleName[] = "Untitled Korvel";
inline constexpr char kInternalProvider[] = "*internal";

// A component's sound file that could not be loaded: the type's name, the
// component's label, its slot, the file and the reason.
inline constexpr char kSoundProblem[] = "%s \"%s\" (slot %d): couldn't load \"%s\": %s; it stays silent";

}  // namespace korvel::text
