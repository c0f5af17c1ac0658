// The command-line host's automation files: CSV rows of
// `seconds,parameter,value`, one point each. Lines end in LF, CR LF or CR;
// a leading UTF-8 byte-order mark is skipped. Blank lines and lines starting
// with '#' are skipped, and so is a first row whose first field is "seconds"
// in any case ("Seconds", "SECONDS"): a header. The parameter is a number or a name; the host resolves it.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "tools/korvel/cli.h"

namespace korvel::cli {

struct AutomationPoint {
  double seconds;               // >= 0
  std::string_view parameter;   // as written, blanks and quotes removed (a view into the text)
  double value;                 // 0..1
  int line;                     // counted from 1
};

// Receives each point in file order; answers false with `reason` set to
// stop the reading there.
using AutomationSink = std::function<bool(const AutomationPoint&, std::string& reason)>;

// False with `error` = "line N: reason" at the first bad row (or the first
// the sink refuses). Pieces of the file quoted in a reason are cut short.
bool ReadAutomationFile(std::string_view text, const AutomationSink& add, std::string& error);

}  // namespace korvel::cli
