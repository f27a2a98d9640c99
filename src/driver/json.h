// The run's results as a JSON document.
#ifndef TREEFLOOD_DRIVER_JSON_H_
#define TREEFLOOD_DRIVER_JSON_H_

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "driver/results.h"

namespace treeflood {

// The run's settings as the JSON document gives them.
nlohmann::ordered_json settingsJson(const RunContext& run);

// The JSON document of the run: every iteration's figures and, over them,
// those of the summary, the warnings and the comparison; an interrupted run
// is not valid. Always valid JSON:
// bytes that are not UTF-8 are replaced.
std::string jsonText(const std::vector<RunResults>& iterations,
                     const RunContext& run);

// The JSON document of a side-by-side run: format_version, each side's
// document as jsonText writes it under "sides" ("A" and "B"), the
// comparison of B with A (null when a side finished no iteration; its
// "baseline" is "A") and whether both sides are valid.
std::string sidesJsonText(const std::vector<RunResults>& a,
                          const RunContext& runA,
                          const std::vector<RunResults>& b,
                          const RunContext& runB, const Comparison* comparison);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_JSON_H_
