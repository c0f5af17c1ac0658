#include "engine/type_table.h"

#include <cstdlib>
#include <cstring>
#include <utility>

#include <nlohmann/json.hpp>

#include "components/catalog.h"
#include "engine/type_settings.h"

namespace korvel {
namespace {

std::intptr_t Answer(const TypeDescription& d, std::int16_t request, char* buffer, void* record) {
  switch (request) {
    case kCreateState: {
      auto* self = static_cast<ComponentRecord*>(std::calloc(1, d.record_size));
      if (self != nullptr && d.initialise != nullptr) d.initialise(self);
      return reinterpret_cast<std::intptr_t>(self);
    }
    case kDestroyState:
      if (record != nullptr && d.settings != nullptr && d.settings->release != nullptr)
        d.settings->release(*static_cast<ComponentRecord*>(record));
      std::free(record);
      return 0;
    case kGetInputCount:
      return d.inputs;
    case kGetOutputCount:
      return d.outputs;
    case kGetName:
      return reinterpret_cast<std::intptr_t>(d.name);
    case kGetInfo:
      if (buffer != nullptr) {
        std::strncpy(buffer, d.info, kInfoBufferSize - 1);
        buffer[kInfoBufferSize - 1] = '\0';
      }
      return 0;
    case kGetColour:
      return static_cast<std::intptr_t>(d.colour);
    default:
      return 0;
  }
}

template <int T>
std::intptr_t Dispatch(std::int16_t request, char* buffer, void* record) {
  static constexpr TypeDescription kDescription = DescriptionOf(T);
  return Answer(kDescription, request, buffer, record);
}

template <int T>
constexpr ComponentDispatch DispatchFor() {
  if constexpr (IsDescribed(T)) {
    return &Dispatch<T>;
  } else {
    return nullptr;
  }
}

template <int T>
constexpr ComponentProcess ProcessFor() {
  if constexpr (IsDescribed(T)) {
    return DescriptionOf(T).process;
  } else {
    return nullptr;
  }
}

template <int T>
constexpr ComponentProcessCascade CascadeFor() {
  if constexpr (IsDescribed(T)) {
    return DescriptionOf(T).process_cascade;
  } else {
    return nullptr;
  }
}

template <int T>
constexpr LineAccess LineAccessFor() {
  if constexpr (IsDescribed(T)) {
    return DescriptionOf(T).line_access;
  } else {
    return LineAccess::kNone;
  }
}

template <int... I>
constexpr ComponentTypeTable BuildTable(std::integer_sequence<int, I...>) {
  return ComponentTypeTable{
      {ProcessFor<I>()...}, {DispatchFor<I>()...}, {CascadeFor<I>()...}, {LineAccessFor<I>()...}};
}

}  // namespace

constinit const ComponentTypeTable kComponentTypeTable = BuildTable(std::make_integer_sequence<int, kTypeCount>{});

bool IsTypeAvailable(int type) {
  return type >= 0 && type < kTypeCount && kComponentTypeTable.process[type] != nullptr &&
         kComponentTypeTable.dispatch[type] != nullptr;
}

std::size_t RecordSizeOf(int type) {
  const TypeDescription* d = type >= 0 && type < kTypeCount ? FindDescription(type) : nullptr;
  return d != nullptr ? d->record_size : 0;
}

const TypeSettings* SettingsOf(int type) {
  const TypeDescription* description = type >= 0 && type < kTypeCount ? FindDescription(type) : nullptr;
  return description != nullptr ? description->settings : nullptr;
}

bool CheckSettings(int type, const nlohmann::json& settings, std::string& error) {
  const TypeSettings* hooks = SettingsOf(type);
  if (hooks == nullptr) return true;
  auto* scratch = reinterpret_cast<ComponentRecord*>(kComponentTypeTable.dispatch[type](kCreateState, nullptr, nullptr));
  if (scratch == nullptr) {
    error = "not enough memory to check the settings";
    return false;
  }
  const bool read = hooks->read(settings, *scratch, error);
  kComponentTypeTable.dispatch[type](kDestroyState, nullptr, scratch);
  return read;
}

}  // namespace korvel
