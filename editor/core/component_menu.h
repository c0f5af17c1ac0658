// The "&Components" menu as data: what the Linux editor's right-click menu
// shows, in the order and with the greyed items of the Win32 menu, and the
// component type each item adds. Platform-free.
#pragma once

#include <cstddef>

namespace korvel::editor_core {

struct MenuItem {
  const char* name;  // null: a separator
  int type;          // the type it adds; -1 for a submenu or a separator
  bool greyed;
  const MenuItem* submenu;  // null for an item that adds a component
  std::size_t submenu_size;
};

// The menu's top level; the submenus hang from it.
struct Menu {
  const MenuItem* items;
  std::size_t size;
};
Menu ComponentMenu();

}  // namespace korvel::editor_core
