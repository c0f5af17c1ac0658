#include "editor/utf8.h"

namespace korvel::editor {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  const int size = static_cast<int>(utf8.size());
  const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, nullptr, 0);
  std::wstring wide(static_cast<std::size_t>(length > 0 ? length : 0), L'\0');
  if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.data(), size, wide.data(), length);
  return wide;
}

std::string Utf8(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = static_cast<int>(wide.size());
  const int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<std::size_t>(length > 0 ? length : 0), '\0');
  if (length > 0) WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, utf8.data(), length, nullptr, nullptr);
  return utf8;
}

std::string CutUtf8(std::string text, std::size_t bytes) {
  if (text.size() <= bytes) return text;
  // Back off over continuation bytes (10xxxxxx) to the start of the
  // character that would be cut.
  std::size_t end = bytes;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  text.resize(end);
  return text;
}

std::string WindowText(HWND window) {
  std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
  text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), static_cast<int>(text.size()))));
  return Utf8(text);
}

void PutWindowText(HWND window, const std::string& utf8) { SetWindowTextW(window, Wide(utf8).c_str()); }

std::string DialogItemText(HWND dialog, int control) { return WindowText(GetDlgItem(dialog, control)); }

void PutDialogItemText(HWND dialog, int control, const std::string& utf8) {
  SetDlgItemTextW(dialog, control, Wide(utf8).c_str());
}

void AddListEntry(HWND list, UINT add_message, const std::string& utf8) {
  SendMessageW(list, add_message, 0, reinterpret_cast<LPARAM>(Wide(utf8).c_str()));
}

}  // namespace korvel::editor
