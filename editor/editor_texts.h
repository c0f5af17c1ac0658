// Texts and names the editor shows or registers, written once.
#pragma once

namespace korvel::editor_text {

inline constexpr char kMainClass[] = "DravikWnd";
inline constexpr char kModuleViewClass[] = "KorvelModuleView";
inline constexpr char kGuiViewClass[] = "KorvelGUIView";
inline constexpr char kModuleViewTitle[] = "korvelview-module";
inline constexpr char kGuiViewTitle[] = "korvelview-gui";
inline constexpr char kTitle[] = "Korvel Modular";
inline constexpr char kTitleSuffix[] = " - Korvel Modular";

inline constexpr char kSaveAndApply[] = "Save and Apply";
inline constexpr char kRevert[] = "Revert";

inline constexpr char kComponentSettingsItem[] = "Component &Settings...";
inline constexpr char kComponentInfoItem[] = "Component &Info...";
inline constexpr char kDeleteComponentItem[] = "&Delete Component";
inline constexpr char kNewComponentItem[] = "&New Component";
inline constexpr char kParameterPropertiesItem[] = "Parameter &Properties...";
inline constexpr char kModuleInformationItem[] = "&Module Information...";

inline constexpr char kNewModuleQuestion[] = "Are you sure? This will clear the current module.";
inline constexpr char kNewModuleTitle[] = "New Module";
inline constexpr char kDeleteQuestion[] = "Are you sure? You are about to delete this component.";
inline constexpr char kDeleteTitle[] = "Delete Component";
inline constexpr char kErrorsTitle[] = "Errors Occured";
// The Edit menu's history items: the step's name follows the verb.
inline constexpr char kUndoItem[] = "&Undo";
inline constexpr char kRedoItem[] = "&Redo";
inline constexpr char kUndoKeys[] = "\tCtrl+Z";
inline constexpr char kRedoKeys[] = "\tCtrl+Y";
inline constexpr char kPasteTitle[] = "Paste";
inline constexpr char kUndoTitle[] = "Undo";

inline constexpr char kConstantSettingsTitle[] = "Constant Settings";
inline constexpr char kSliderSettingsTitle[] = "Slider Settings";
inline constexpr char kTableSettingsTitle[] = "Translation Table Settings";
// The Slider's list of host parameters: number and name, or the number
// alone for a parameter with no name.
inline constexpr char kParameterEntry[] = "%d: %s";
inline constexpr char kUnnamedParameterEntry[] = "%d";
// printf format: the refused text.
inline constexpr char kNotANumber[] = "\"%s\" is not a number.";
// printf format: line number (1..4).
inline constexpr char kDelayLineEntry[] = "Delay line %d (stereo, 2097152 samples)";

// Ensemble Information's oversampling list: factor 1, then the others as
// printf formats of the factor and its latency in frames.
inline constexpr char kOversamplingNone[] = "None (the host's rate)";
inline constexpr char kOversamplingEntry[] = "%dx (latency %u frames)";
inline constexpr char kOversamplingTitle[] = "Ensemble Information";
inline constexpr char kOversamplingNoMemory[] = "There is not enough memory to oversample this module.";

// The MIDI controller list: none, then 0..127 (printf format).
inline constexpr char kNoControllerEntry[] = "None";
inline constexpr char kControllerEntry[] = "%d";
inline constexpr char kLearnWaiting[] = "Move a controller...";
inline constexpr char kLearned[] = "Learned controller %d";  // printf format

inline constexpr const char* kParameterKindNames[] = {
    "<none>", "Percent 0 to 100", "Percent -100 to 100", "Percent -100 to 0"};

// Status bar: component and port, or the selection.
inline constexpr char kPortStatus[] = "%s \xE2\x80\x94 %s";       // label, info line
inline constexpr char kSelectionStatus[] = "%s (%s)";            // label, type name
// Status bar: why a dropped wire connected nothing.
inline constexpr char kWireWouldLoop[] =
    "Not connected: \"%s\" already feeds \"%s\", so the wire would close a loop.";  // target, source
inline constexpr char kWireOnBody[] = "Not connected: drop a wire on an input square, at a box's left edge.";
inline constexpr char kWireRefused[] = "Not connected: the engine refused the wire.";

}  // namespace korvel::editor_text
