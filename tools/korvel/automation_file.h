// The command-line host's automation files: CSV rows of
// `seconds,parameter,value`, one point each. Blank lines and lines starting
// with '#' are skipped, and so is a first row whose first field is "seconds"
// in any case ("Seconds", "SECONDS"): a header. The parameter is a number or a name; the host resolves it.
#pragma once

#include <string>
#include <vector>

#include "tools/korvel/cli.h"

namespace korvel::cli {

struct AutomationPoint {
  double seconds;         // >= 0
  std::string parameter;  // as written, blanks and quotes removed
  double value;           // 0..1
  int line;               // counted from 1
};

// False with `error` = "line N: reason" at the first bad row.
bool ReadAutomationFile(const std::string& text, std::vector<AutomationPoint>& points, std::string& error);


}  // namespace korvel::cli
