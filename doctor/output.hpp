// The doctor's report: what it read and saw, then one line per finding.
#pragma once

#include <nlohmann/json.hpp>
#include <ostream>
#include <span>

#include "diagnose.hpp"

namespace jointbus::doctor {

void print_report(std::ostream& out, const Observations& seen,
                  std::span<const report::Finding> findings);

[[nodiscard]] nlohmann::json report_json(const Observations& seen,
                                         std::span<const report::Finding> findings);

}  // namespace jointbus::doctor
