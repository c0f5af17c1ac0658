#include "engine/host_timing.h"

namespace korvel {
namespace {
// Constant-initialised, so it is valid before any other static runs.
constinit HostTiming g_host_timing;
}  // namespace

HostTiming& GetHostTiming() { return g_host_timing; }

}  // namespace korvel
