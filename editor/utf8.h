// The engine holds every text as UTF-8; Windows speaks UTF-16 through its W
// functions. Every text the editor shows or reads crosses here, so a name
// typed with accents is saved as typed and a name from a file shows as
// written. Windows only.
#pragma once

#include <windows.h>

#include <string>

namespace korvel::editor {

// Invalid UTF-8 becomes U+FFFD, never a guess at a code page.
std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// At most `bytes` bytes of `text`, never cutting a character in two (the
// engine's fields are byte arrays).
std::string CutUtf8(std::string text, std::size_t bytes);

std::string WindowText(HWND window);
void PutWindowText(HWND window, const std::string& utf8);
std::string DialogItemText(HWND dialog, int control);
void PutDialogItemText(HWND dialog, int control, const std::string& utf8);
// Adds an entry to a list box (LB_ADDSTRING) or combo box (CB_ADDSTRING).
void AddListEntry(HWND list, UINT add_message, const std::string& utf8);

}  // namespace korvel::editor
