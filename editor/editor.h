// The editor as the rest of the system sees it. Windows builds only; the
// plug-in calls these from its menu operations and library entry point.
#pragma once

namespace korvel {

class PatchEngine;

// Library attach: keeps the instance handle (resources, dialogs, window
// classes), loads the tab-strip bitmaps and installs the Win32 UI.
void EditorAttach(void* instance);
// Library detach: releases what EditorAttach loaded.
void EditorDetach();

// Opens the editor's main window for `engine`, or brings it to the top.
void OpenEditor(PatchEngine& engine);
// The About box.
void ShowAbout(PatchEngine& engine);

}  // namespace korvel
