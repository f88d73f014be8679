// The player's menu entries (built-in and added ones, their notifications)
// and tool entries (the [Tool] section of the player's settings file).
#include <filesystem>
#include <memory>

#include "inifile/profile.h"
#include "player/contract.h"
#include "player/link_internal.h"
#include "player/player.h"

namespace sl::player {

using detail::EqualNoCase;
using detail::Raise;
using ipc::Value;

// ---- Menu entries ----

PlayerMenuItem* PlayerLink::GetMenu(long MenuId) {
  if (MenuId == 0) return nullptr;
  for (const auto* builtIn : {&menuItem4000_, &menuItem5000_, &menuItem9000_, &menuItem8000_}) {
    if ((*builtIn)->MenuId == MenuId) return builtIn->get();
  }
  for (const auto& e : menuItems_) {
    if (e->MenuId == MenuId) return e.get();
  }
  menuItems_.push_back(std::make_shared<PlayerMenuItem>(this, static_cast<std::int32_t>(MenuId)));
  return menuItems_.back().get();
}

PlayerMenuItem* PlayerLink::RemoveMenu(PlayerMenuItem* Menu) {
  if (!Menu) {
    if (menuItems_.empty()) return nullptr;
    auto first = menuItems_.front();
    menuItems_.erase(menuItems_.begin());
    DestroyMenuEntry(first);
    return nullptr;
  }
  for (auto it = menuItems_.begin(); it != menuItems_.end(); ++it) {
    if (it->get() == Menu) {
      // Taken out, not destroyed: the component still owns it.
      removedMenuItems_.push_back(*it);
      menuItems_.erase(it);
      return Menu;
    }
  }
  return nullptr;
}

void PlayerLink::DeleteMenu(PlayerMenuItem* Menu) {
  if (!RemoveMenu(Menu) || !Menu) return;
  for (auto it = removedMenuItems_.begin(); it != removedMenuItems_.end(); ++it) {
    if (it->get() == Menu) {
      auto entry = *it;
      removedMenuItems_.erase(it);
      DestroyMenuEntry(entry);
      return;
    }
  }
}

void PlayerLink::ClearMenuList() {
  std::vector<std::shared_ptr<PlayerMenuItem>> entries;
  entries.swap(menuItems_);
  for (const auto& e : entries) DestroyMenuEntry(e);
}

void PlayerLink::DestroyMenuEntry(const std::shared_ptr<PlayerMenuItem>& entry) {
  if (!entry || !entry->Inserted) return;
  auto it = std::find(menuItems_.begin(), menuItems_.end(), entry);
  if (it != menuItems_.end()) menuItems_.erase(it);
  if (bound_) {
    std::vector<Value> out;
    CallSlot(Intf::Menu, contract::menu::DeleteMenuItem, {Value::Long(entry->MenuId)}, {}, out);
  }
}

void PlayerLink::NotifyMenu(int MenuId) {
  PlayerMenuItem* raw = GetMenu(MenuId);
  std::shared_ptr<PlayerMenuItem> entry;
  for (const auto* builtIn : {&menuItem4000_, &menuItem5000_, &menuItem9000_, &menuItem8000_}) {
    if (builtIn->get() == raw) entry = *builtIn;
  }
  for (const auto& e : menuItems_) {
    if (e.get() == raw) entry = e;
  }
  // `entry` keeps the object alive even if a handler clears the list.
  if (entry && entry->OnSelect) {
    auto handler = entry->OnSelect;
    handler(entry.get());
  }
  Raise(OnMenu, entry.get());
}

void PlayerLink::NotifyDeleteMenu(int MenuId) {
  std::vector<std::shared_ptr<PlayerMenuItem>> gone;
  for (auto it = menuItems_.begin(); it != menuItems_.end();) {
    if ((*it)->MenuId == MenuId) {
      gone.push_back(*it);
      it = menuItems_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& e : gone) DestroyMenuEntry(e);
}

// ---- Tool entries ----

std::string PlayerLink::PlayerIniPath() const {
  if (playerPath_.empty()) return {};
  std::filesystem::path p(playerPath_);
  p.replace_extension(".ini");
  return p.string();
}

bool PlayerLink::ToolExists(const std::string& Name) {
  const std::string path = PlayerIniPath();
  if (path.empty()) return false;
  const auto keys = inifile::Profile(path).ReadSection("Tool");
  if (!keys) return false;
  for (const auto& [key, value] : *keys) {
    if (EqualNoCase(key, Name)) return true;
  }
  return false;
}

void PlayerLink::SetTool(const std::string& Name, const std::string& Value) {
  const std::string path = PlayerIniPath();
  if (!path.empty()) {
    inifile::Profile ini(path);
    if (!ini.WriteString("Tool", Name, Value)) ReportSettingsNotSaved(ini.LastError());
  }
  Post(static_cast<int>(playerMessage_), contract::kToolsChanged, 0);
}

void PlayerLink::DeleteTool(const std::string& Name) {
  const std::string path = PlayerIniPath();
  // Nothing to delete from a settings file that does not exist.
  std::error_code ec;
  if (!path.empty() && std::filesystem::exists(path, ec)) {
    inifile::Profile ini(path);
    if (!ini.DeleteKey("Tool", Name)) ReportSettingsNotSaved(ini.LastError());
  }
  Post(static_cast<int>(playerMessage_), contract::kToolsChanged, 0);
}

}  // namespace sl::player
