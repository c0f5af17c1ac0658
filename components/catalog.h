// Every component family's type descriptions, gathered for the type table.
#pragma once

#include "components/routing.h"

namespace korvel {

// The description of a type number, or null when no family declares it.
// Families are listed here once; the type table is built from this.
constexpr const TypeDescription* FindDescription(int type) {
  for (const auto& d : kRoutingTypes)
    if (d.type == type) return &d;
  return nullptr;
}

}  // namespace korvel
