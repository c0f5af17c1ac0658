// Calls one component's process function directly, with stand-in sources.
#pragma once

#include <gtest/gtest.h>

#include <vector>

#include "components/catalog.h"
#include "engine/type_table.h"

namespace korvel::testing {

// A source whose output 0 is a constant or a buffer.
struct Feed {
  explicit Feed(double value) { record.constant_flag[0] = 1, record.constant[0] = value; }
  explicit Feed(std::vector<double> block) : values(std::move(block)) { record.output[0] = values.data(); }
  Feed(const Feed&) = delete;
  ComponentRecord record{};
  std::vector<double> values;
};

struct Component {
  explicit Component(int t, EngineContext* context = nullptr)
      : type(t), record(reinterpret_cast<ComponentRecord*>(kComponentTypeTable.dispatch[t](kCreateState, nullptr, nullptr))) {
    record->context = context;
  }
  ~Component() { kComponentTypeTable.dispatch[type](kDestroyState, nullptr, record); }
  Component(const Component&) = delete;
  // One block; feed k drives input k, null leaves it unconnected.
  Component& Run(int frames, std::initializer_list<Feed*> feeds) {
    ComponentRecord* inputs[kMaxPorts] = {};
    const std::int16_t source_outputs[kMaxPorts] = {};
    int k = 0;
    for (Feed* feed : feeds) inputs[k++] = feed != nullptr ? &feed->record : nullptr;
    record->block_length = static_cast<std::int16_t>(frames);
    kComponentTypeTable.process[type](record, inputs, source_outputs);
    return *this;
  }
  bool IsConstant(double v) const { return record->constant_flag[0] == 1 && record->constant[0] == v; }
  double* buffer() const { return record->output[0]; }
  template <typename R>
  R& as() const { return *static_cast<R*>(record); }
  int type;
  ComponentRecord* record;
};

inline std::vector<double> Stereo(int frames, double left, double right) {
  std::vector<double> v(2 * frames, left);
  for (int f = 0; f < frames; ++f) v[2 * f + 1] = right;
  return v;
}

}  // namespace korvel::testing
