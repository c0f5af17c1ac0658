// The ComponentTypeTable: type number -> (process, dispatch, cascade). Built at
// compile time from the families' descriptions and shared by every engine.
#pragma once

#include "engine/component.h"

namespace korvel {

struct ComponentTypeTable {
  ComponentProcess process[kTypeCount];
  ComponentDispatch dispatch[kTypeCount];
  ComponentProcessCascade cascade[kTypeCount];  // null for most types
};

extern const ComponentTypeTable kComponentTypeTable;

// Both entries set, and the number in range.
bool IsTypeAvailable(int type);

}  // namespace korvel
