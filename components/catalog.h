// Every component family's type descriptions, gathered for the type table.
#pragma once

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/routing.h"
#include "components/value_sources.h"

namespace korvel {

// The description of a type number, or null when no family declares it.
// Families are listed here once; the type table is built from this.
constexpr const TypeDescription* FindDescription(int type) {
  for (const auto& d : kRoutingTypes)
    if (d.type == type) return &d;
  for (const auto& d : kArithmeticTypes)
    if (d.type == type) return &d;
  for (const auto& d : kBiquadTypes)
    if (d.type == type) return &d;
  for (const auto& d : kMoogStateTypes)
    if (d.type == type) return &d;
  for (const auto& d : kIirFirTypes)
    if (d.type == type) return &d;
  for (const auto& d : kClippingTypes)
    if (d.type == type) return &d;
  for (const auto& d : kDelayTypes)
    if (d.type == type) return &d;
  for (const auto& d : kValueSourceTypes)
    if (d.type == type) return &d;
  return nullptr;
}

}  // namespace korvel
