// What in a module will make silence or nonsense although the plug-in
// accepts it: `korvel check`, and the warnings before every render.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace korvel::cli {

struct Finding {
  std::string text;
  // Whether it holds only at some sample rates (a cutoff above half the
  // rate, a delay longer than the line): a batch of files at several rates
  // says these per file, the rest once.
  bool depends_on_rate = false;
};

// One finding per mistake, in the module's order, for a module whose host
// runs at `rate` Hz (the module itself at that times its oversampling, the
// rate its cutoffs and delays are judged at). `image` is a module the image
// reader accepts (an empty list otherwise).
std::vector<Finding> CheckModule(const std::string& image, double rate);

// How long a sound can wait in the module's delay lines before it is heard
// again, in frames at the host's `rate`: the longest constant delay of its
// delay components, the whole line when a delay is not constant, 0 for a
// module that does not use the lines. An oversampled module's delays count
// frames of its running rate, so they last that many times fewer here.
std::int64_t LongestDelay(const std::string& image, double rate);

// "slot 3 (LP filter "tone")": how findings and reports name a component.
std::string ComponentName(const std::string& image, int slot);

}  // namespace korvel::cli
