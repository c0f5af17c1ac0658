// The ComponentTypeTable: type number -> (process, dispatch, cascade). Built at
// compile time from the families' descriptions and shared by every engine.
#pragma once

#include <nlohmann/json_fwd.hpp>
#include <string>

#include "engine/component.h"

namespace korvel {

struct ComponentTypeTable {
  ComponentProcess process[kTypeCount];
  ComponentDispatch dispatch[kTypeCount];
  ComponentProcessCascade cascade[kTypeCount];  // null for most types
  LineAccess line_access[kTypeCount];           // kNone for most types
};

extern const ComponentTypeTable kComponentTypeTable;

// Both entries set, and the number in range.
bool IsTypeAvailable(int type);

// The size of the type's record, header included; 0 for no type.
std::size_t RecordSizeOf(int type);

// The type's own settings (engine/type_settings.h), or null when it has
// none or the number names no type.
const TypeSettings* SettingsOf(int type);
// Whether `settings` (the type's keys, any subset) would be read without a
// fault; `error` names the first fault. Reads them into a scratch record.
bool CheckSettings(int type, const nlohmann::json& settings, std::string& error);

}  // namespace korvel
