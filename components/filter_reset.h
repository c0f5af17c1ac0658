// Clearing a filter that has run away (the editor's "Reset" in Filter
// Settings).
#pragma once

#include "engine/component.h"

namespace korvel {

// The filter types: those with a history to clear (15..20, 22, 23, 60..63).
bool IsFilterType(int type);

// Puts the type's own part of the record back as it was created (histories
// or stages cleared, and the coefficient cache, so the next block computes
// coefficients afresh). Filter types only; any other type is left alone.
void ResetFilterState(ComponentRecord* record, int type);

}  // namespace korvel
