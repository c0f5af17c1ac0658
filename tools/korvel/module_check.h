// What in a module will make silence or nonsense although the plug-in
// accepts it: `korvel check`, and the warnings before every render.
#pragma once

#include <string>
#include <vector>

namespace korvel::cli {

// One line per finding, in the module's order. `image` is a module the
// image reader accepts (an empty list otherwise); delays derived from the
// sample rate are judged at `host_rate` times the module's oversampling.
std::vector<std::string> CheckModule(const std::string& image, double host_rate = 44100.0);

}  // namespace korvel::cli
