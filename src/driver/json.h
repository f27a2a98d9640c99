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

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_JSON_H_
