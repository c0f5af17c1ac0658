#include "components/filter_reset.h"

#include <cstring>

#include "components/catalog.h"
#include "components/moog_state_filters.h"
#include "components/iir_fir_filters.h"

namespace korvel {

void ResetFilterState(ComponentRecord* record, int type) {
  const bool filter = (type >= kLowpassType && type <= kStateFilterType) || type == kIir2Type || type == kFir8Type;
  if (record == nullptr || !filter) return;
  const TypeDescription* d = FindDescription(type);
  std::memset(reinterpret_cast<char*>(record) + sizeof(ComponentRecord), 0, d->record_size - sizeof(ComponentRecord));
}

}  // namespace korvel
