// Texts the plug-in hands to the host, written once.
#pragma once

namespace korvel::text {

inline constexpr char kModuleName[] = "Korvel Modular";
inline constexpr char kModuleShortName[] = "Korvel";

inline constexpr char kAutomationPort[] = "automation";
inline constexpr char kNotesPort[] = "notes";
inline constexpr char kAudioPort[] = "audio";

inline constexpr char kEditModuleItem[] = "&Edit Module...";
inline constexpr char kAboutItem[] = "&About...";

// Names of parameter kinds 0..3, as a parameter editor lists them.
inline constexpr const char* kParameterKindNames[] = {
    "<none>", "Percent 0 to 100", "Percent -100 to 100", "Percent -100 to 0"};

inline constexpr char kRestoreStateTitle[] = "Korvel Modular";
inline constexpr char kRestoreStateFailed[] = "Couldn't restore the module from the host's project: %s";

}  // namespace korvel::text
