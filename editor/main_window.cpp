// Placeholder until the editor lands: the plug-in links against these.
#include "editor/editor.h"

namespace korvel {
void EditorAttach(void*) {}
void EditorDetach() {}
void OpenEditor(PatchEngine&) {}
void ShowAbout(PatchEngine&) {}
}  // namespace korvel
