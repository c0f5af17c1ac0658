// The Linux editor's Components menu is the Win32 menu: the same items in
// the same order, greyed alike, each adding the type the Win32 editor's
// command adds. Read from the Win32 resource and command table, so a
// component added to one menu and not the other fails here.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "editor/core/component_menu.h"

namespace korvel {
namespace {

std::string Source(const std::string& path) {
  std::ifstream in(std::string(KORVEL_SOURCE_DIR) + "/" + path);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

struct RcItem {
  std::string name;  // empty: a separator
  std::string id;
  bool greyed = false;
  std::vector<RcItem> submenu;
};

// The items between BEGIN and its END, from line `at` on.
std::vector<RcItem> ReadPopup(const std::vector<std::string>& lines, std::size_t& at) {
  static const std::regex item(R"re(^\s*MENUITEM\s+"([^"]*)",\s*(\w+)(,\s*GRAYED)?)re");
  static const std::regex popup(R"re(^\s*POPUP\s+"([^"]*)")re");
  std::vector<RcItem> items;
  ++at;  // BEGIN
  for (++at; at < lines.size(); ++at) {
    std::smatch m;
    const std::string& line = lines[at];
    if (line.find("END") != std::string::npos && line.find("MENUITEM") == std::string::npos) return items;
    if (line.find("MENUITEM SEPARATOR") != std::string::npos) {
      items.push_back({});
    } else if (std::regex_search(line, m, item)) {
      items.push_back({m[1], m[2], m[3].matched, {}});
    } else if (std::regex_search(line, m, popup)) {
      RcItem sub{m[1], "", false, {}};
      sub.submenu = ReadPopup(lines, at);
      items.push_back(sub);
    }
  }
  return items;
}

void ExpectSame(const std::vector<RcItem>& win32, const editor_core::MenuItem* items, std::size_t size,
                const std::map<std::string, int>& types) {
  ASSERT_EQ(win32.size(), size);
  for (std::size_t i = 0; i < size; ++i) {
    const RcItem& w = win32[i];
    const editor_core::MenuItem& ours = items[i];
    SCOPED_TRACE(w.name.empty() ? "separator " + std::to_string(i) : w.name);
    EXPECT_EQ(w.name, ours.name != nullptr ? ours.name : "");
    EXPECT_EQ(w.greyed, ours.greyed);
    EXPECT_EQ(!w.submenu.empty(), ours.submenu != nullptr);
    if (ours.submenu != nullptr) ExpectSame(w.submenu, ours.submenu, ours.submenu_size, types);
    if (const auto type = types.find(w.id); type != types.end()) {
      EXPECT_EQ(ours.type, type->second);
    } else if (!w.name.empty() && w.submenu.empty()) {
      EXPECT_TRUE(ours.greyed) << "no Win32 command adds it";
    }
  }
}

TEST(ComponentMenuTest, IsTheWin32ComponentsMenuItemForItem) {
  std::vector<std::string> lines;
  std::istringstream rc(Source("resources/korvel.rc"));
  for (std::string line; std::getline(rc, line);) lines.push_back(line);
  std::size_t at = 0;
  while (at < lines.size() && lines[at].find("POPUP \"&Components\"") == std::string::npos) ++at;
  ASSERT_LT(at, lines.size());
  const std::vector<RcItem> win32 = ReadPopup(lines, at);

  // The Win32 editor's command → type pairs.
  std::map<std::string, int> types;
  const std::string commands = Source("editor/main_window.cpp");
  static const std::regex pair(R"(\{(ID_\w+),\s*(\d+)\})");
  for (auto it = std::sregex_iterator(commands.begin(), commands.end(), pair); it != std::sregex_iterator(); ++it)
    types[(*it)[1]] = std::stoi((*it)[2]);
  ASSERT_GT(types.size(), 40u);

  const editor_core::Menu menu = editor_core::ComponentMenu();
  ExpectSame(win32, menu.items, menu.size, types);
}

}  // namespace
}  // namespace korvel
