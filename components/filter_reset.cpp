#include "components/filter_reset.h"

#include <cstring>

#include "components/catalog.h"
#include "components/eq_filters.h"
#include "components/moog_state_filters.h"
#include "components/iir_fir_filters.h"

namespace korvel {

bool IsFilterType(int type) {
  return (type >= kLowpassType && type <= kStateFilterType) || type == kIir2Type || type == kFir8Type ||
         (type >= kPeakEqType && type <= kAllpassType);
}

void ResetFilterState(ComponentRecord* record, int type) {
  if (record == nullptr || !IsFilterType(type)) return;
  const TypeDescription* d = FindDescription(type);
  std::memset(reinterpret_cast<char*>(record) + sizeof(ComponentRecord), 0, d->record_size - sizeof(ComponentRecord));
  if (d->initialise != nullptr) d->initialise(record);
}

}  // namespace korvel
