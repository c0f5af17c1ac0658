// Clearing a filter that has run away (the editor's "Reset" in Filter
// Settings).
#pragma once

#include "engine/component.h"

namespace korvel {

// Zeroes the type's own part of the record (histories or stages, and the
// coefficient cache, so the next block computes coefficients afresh). Types
// 15..20, 22 and 23; any other type is left alone.
void ResetFilterState(ComponentRecord* record, int type);

}  // namespace korvel
