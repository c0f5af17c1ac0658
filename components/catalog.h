// Every component family's type descriptions, gathered for the type table.
#pragma once

#include <span>

#include "components/arithmetic.h"
#include "components/biquad_filters.h"
#include "components/clipping.h"
#include "components/delays.h"
#include "components/eq_filters.h"
#include "components/iir_fir_filters.h"
#include "components/moog_state_filters.h"
#include "components/routing.h"
#include "components/sources.h"
#include "components/tables.h"
#include "components/sampler.h"
#include "components/value_sources.h"

namespace korvel {

// Every family, listed here once; the type table is built from this.
inline constexpr std::span<const TypeDescription> kFamilies[] = {
    kRoutingTypes, kArithmeticTypes, kBiquadTypes, kMoogStateTypes, kIirFirTypes,
    kEqTypes,      kClippingTypes,   kDelayTypes,  kValueSourceTypes, kSamplerTypes,
    kSourceTypes,  kTableTypes,
};

// Whether a family declares the type number. Only numbers are compared,
// never addresses, so the table stays a constant expression in every build
// (the undefined-behaviour sanitizer makes address comparisons run-time
// checks).
constexpr bool IsDescribed(int type) {
  for (const auto family : kFamilies)
    for (const auto& d : family)
      if (d.type == type) return true;
  return false;
}

// The description of a type number, or null when no family declares it.
constexpr const TypeDescription* FindDescription(int type) {
  for (const auto family : kFamilies)
    for (const auto& d : family)
      if (d.type == type) return &d;
  return nullptr;
}

// A copy of a declared type's description (an empty one otherwise).
constexpr TypeDescription DescriptionOf(int type) {
  for (const auto family : kFamilies)
    for (const auto& d : family)
      if (d.type == type) return d;
  return {};
}

}  // namespace korvel
