#include "driver/compare.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/math/distributions/students_t.hpp>
#include <cmath>
#include <nlohmann/json.hpp>

#include "console/output.h"
#include "console/texts.h"
#include "driver/json.h"
#include "work/owners.h"

namespace treeflood {

namespace {

using Json = nlohmann::json;

// The member `key` of `object`, or null when either is missing.
const Json* member(const Json* object, const char* key) {
  if (object == nullptr || !object->is_object()) return nullptr;
  auto it = object->find(key);
  return it == object->end() ? nullptr : &*it;
}

double numberOf(const Json* value) {
  return value != nullptr && value->is_number() ? value->get<double>() : NAN;
}

std::string textOf(const Json* value) {
  return value != nullptr && value->is_string() ? value->get<std::string>()
                                                : "";
}

// Boost.Math reports a domain error by throwing unless told otherwise; the
// inputs are checked first, and a NaN is the answer to any left.
using NoThrow = boost::math::policies::policy<
    boost::math::policies::domain_error<boost::math::policies::ignore_error>,
    boost::math::policies::overflow_error<boost::math::policies::ignore_error>,
    boost::math::policies::evaluation_error<
        boost::math::policies::ignore_error>>;
using StudentsT = boost::math::students_t_distribution<double, NoThrow>;

// The ratio of `b`'s mean to `a`'s, its confidence interval at 1 - `alpha`
// and the two-sided p-value of its difference from 1: the delta method on
// the log of the means, with Welch-Satterthwaite's degrees of freedom. The
// interval is never below 0; its ends are NaN where it has none (a mean of
// 0).
void ratioInterval(const RateSpread& a, const RateSpread& b, double alpha,
                   double* p, double* low, double* high) {
  const double ratio = b.mean / a.mean;
  // The variances of the logs of the two means.
  const double va = a.stddev * a.stddev / (a.count * a.mean * a.mean);
  const double vb = b.stddev * b.stddev / (b.count * b.mean * b.mean);
  const double se = std::sqrt(va + vb);
  if (!(ratio > 0) || !std::isfinite(se)) {
    *p = *low = *high = NAN;
    return;
  }
  if (se == 0) {
    // No spread on either side: any difference is certain.
    *p = ratio == 1 ? 1 : 0;
    *low = *high = ratio;
    return;
  }
  const double df = (va + vb) * (va + vb) /
                    (va * va / (a.count - 1) + vb * vb / (b.count - 1));
  const StudentsT t(df);
  *p = 2 * cdf(complement(t, std::fabs(std::log(ratio)) / se));
  const double half = quantile(complement(t, alpha / 2)) * se;
  *low = ratio * std::exp(-half);
  *high = ratio * std::exp(half);
}

std::string fixed(double value, int decimals) {
  char text[64];
  snprintf(text, sizeof text, "%.*f", decimals, value);
  return text;
}

// "7595 ± 1200 (3)": a side's mean, spread and iterations.
std::string sideText(const RateSpread& side) {
  std::string text = fixed(side.mean, 0);
  if (side.count > 1) text += " +- " + fixed(side.stddev, 0);
  return text + " (" + std::to_string(side.count) + ")";
}

std::string percentText(double value) {
  char text[64];
  if (value > 0) {
    snprintf(text, sizeof text, "+%.1f%%", value);
  } else {
    snprintf(text, sizeof text, "%.1f%%", value);
  }
  return text;
}

// How deep `text`'s arrays and objects nest, outside its strings.
size_t nestingDepth(const std::string& text) {
  size_t depth = 0, deepest = 0;
  bool inString = false;
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (c == '\\') ++i;
      if (c == '"') inString = false;
    } else if (c == '"') {
      inString = true;
    } else if (c == '[' || c == '{') {
      deepest = std::max(deepest, ++depth);
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
  return deepest;
}

// What is wrong with a phase's files done and seconds, or "": each must be a
// finite number, the files above 0 and the seconds at least a nanosecond,
// and their rate at most a billion files a second.
std::string badFigures(const Json* files, const Json* seconds) {
  const double f = numberOf(files), s = numberOf(seconds);
  const auto shown = [](const Json* value) {
    return value != nullptr ? value->dump() : std::string("missing");
  };
  if (!(f > 0) || !std::isfinite(f)) {
    return "files_done " + shown(files) + " is not a count of files";
  }
  if (!(s >= 1e-9) || !std::isfinite(s)) {
    return "file_seconds " + shown(seconds) + " is not a time of 1 ns or more";
  }
  if (f / s > 1e9) {
    return shown(files) + " files in " + shown(seconds) +
           " s is over a billion files a second";
  }
  return "";
}

// Reads the workload of a result from its document `doc` and its
// `settings`, in the names workloadDifferences gives.
void readWorkload(const Json& doc, const Json& settingsObject,
                  StoredResult* result) {
  const Json* settings = &settingsObject;
  StoredResult& r = *result;
  // Format 2 gave one process's threads and, under treeflood-mpi, the ranks,
  // each of which ran as many.
  const Json* threadsTotal = member(settings, "threads_total");
  Json total = threadsTotal != nullptr ? *threadsTotal : Json(nullptr);
  if (threadsTotal == nullptr) {
    const Json* ranks = member(&doc, "ranks");
    const size_t nbRanks = ranks != nullptr && ranks->is_array()
                               ? std::max<size_t>(ranks->size(), 1)
                               : 1;
    const Json* threads = member(settings, "threads");
    if (threads != nullptr && threads->is_number_unsigned()) {
      total = threads->get<uint64_t>() * nbRanks;
    }
  }
  r.workload.push_back({"files", member(settings, "files")
                                     ? member(settings, "files")->dump()
                                     : "null"});
  r.threads = total.dump();
  // Each key, and what a result written before the key existed ran.
  const std::pair<const char*, const char*> kWorkload[] = {
      {"file_size", "null"},
      {"direct_io", "null"},
      {"drop_caches", "null"},
      {"time_limit_seconds", "null"},
      {"fsync", "\"none\""},
      {"directories", "1024"},
      {"order", "\"sequential\""},
      {"data", "\"zeros\""},
      {"read", "false"}};
  for (const auto& [key, before] : kWorkload) {
    const Json* value = member(settings, key);
    r.workload.push_back({key, value != nullptr ? value->dump() : before});
  }
}

}  // namespace

namespace {

// Whether `doc` is of a format_version this version reads; if not, says why.
bool readableFormat(const Json& doc, std::string* error) {
  const Json* version = member(&doc, "format_version");
  if (version == nullptr || !version->is_number_integer()) {
    *error = "not a treeflood result: no format_version";
    return false;
  }
  const int format = version->get<int>();
  if (format < 2 || format > kFormatVersion) {
    *error = "format_version " + std::to_string(format) +
             " is not one this version reads (2 to " +
             std::to_string(kFormatVersion) + ")";
    return false;
  }
  return true;
}

// Parses the text of a result, whose nesting and format_version must be
// ones this version reads; on failure returns false with the reason.
bool parseResult(const std::string& text, Json* doc, std::string* error) {
  if (nestingDepth(text) > kMaxDepth) {
    *error = "nested deeper than " + std::to_string(kMaxDepth) + " levels";
    return false;
  }
  *doc = Json::parse(text, nullptr, false);
  if (doc->is_discarded()) {
    *error = "not JSON, or cut short";
    return false;
  }
  return readableFormat(*doc, error);
}

// Reads the result of one run, or of one side, from its document.
bool readDocument(const Json& doc, StoredResult* result, std::string* error) {
  if (!readableFormat(doc, error)) return false;
  const Json* settings = member(&doc, "settings");
  const Json* iterations = member(&doc, "iterations");
  if (settings == nullptr || iterations == nullptr || !iterations->is_array()) {
    *error = "not a treeflood result: no settings or iterations";
    return false;
  }
  StoredResult r;
  readWorkload(doc, *settings, &r);
  const Json* system = member(&doc, "system");
  r.host = textOf(member(system, "hostname"));
  r.fileSystem = textOf(member(system, "file_system"));
  r.mountOptions = textOf(member(system, "mount_options"));
  r.label = textOf(member(&doc, "label"));
  r.workDir = textOf(member(settings, "working_directory"));
  const Json* valid = member(&doc, "valid");
  r.valid = valid != nullptr && valid->is_boolean() && valid->get<bool>();
  const Json* interrupted = member(&doc, "interrupted");
  if (interrupted != nullptr && interrupted->is_object()) {
    const std::string signal = textOf(member(interrupted, "signal"));
    r.interrupted = signal.empty() ? "by a stalled rank" : "by " + signal;
  }
  r.iterations = iterations->size();
  for (size_t i = 0; i < iterations->size(); ++i) {
    const Json& it = (*iterations)[i];
    const Json* phases = member(&it, "phases");
    for (Phase phase : kPhases) {
      const Json *files, *seconds, *host;
      // The listing's figures are those of its ls.
      if (phaseWorker(phase) == nullptr) {
        const Json* ls = member(&it, "listing");
        if (ls == nullptr || ls->is_null()) continue;
        host = member(ls, "host");
        const Json* status = member(ls, "exit_status");
        // A failed listing made the result invalid.
        if (status == nullptr || !status->is_number() || *status != 0) continue;
        // The files made, as a run counts them.
        files = member(member(phases, "create"), "files_done");
        seconds = member(ls, "wall_seconds");
      } else {
        const Json* figures = member(phases, phaseName(phase));
        if (figures == nullptr) continue;
        files = member(figures, "files_done");
        seconds = member(figures, "file_seconds");
        host = member(figures, "host");
        const double failed = numberOf(member(figures, "files_failed"));
        if (failed > 0) r.failedFiles += static_cast<uint64_t>(failed);
      }
      const std::string bad = badFigures(files, seconds);
      if (!bad.empty()) {
        *error = "iteration " + std::to_string(i + 1) + ", " +
                 phaseName(phase) + " phase: " + bad;
        return false;
      }
      r.rates[static_cast<int>(phase)].push_back(files->get<double>() /
                                                 seconds->get<double>());
      const double others = numberOf(member(host, "other_cpus"));
      if (others >= 0) r.otherCpus[static_cast<int>(phase)].push_back(others);
    }
  }
  const Json* warnings = member(&doc, "warnings");
  if (warnings != nullptr && warnings->is_array()) {
    for (const Json& w : *warnings) r.warnings.push_back(textOf(&w));
  }
  *result = std::move(r);
  return true;
}

}  // namespace

bool readResult(const std::string& text, StoredResult* result,
                std::string* error) {
  Json doc;
  if (!parseResult(text, &doc, error)) return false;
  if (member(&doc, "sides") != nullptr) {
    *error =
        "it holds the two sides of a run with --against: give it alone to "
        "--stored to compare them";
    return false;
  }
  return readDocument(doc, result, error);
}

bool readSides(const std::string& text, StoredResult sides[2],
               std::string* error) {
  Json doc;
  if (!parseResult(text, &doc, error)) return false;
  for (int k = 0; k < 2; ++k) {
    const char* name = k == 0 ? "A" : "B";
    const Json* side = member(member(&doc, "sides"), name);
    if (side == nullptr) {
      *error = member(&doc, "sides") == nullptr
                   ? "it holds one run, not the two sides of a run with "
                     "--against: name its baseline with --compare"
                   : std::string("it has no side ") + name;
      return false;
    }
    if (!readDocument(*side, &sides[k], error)) {
      *error = std::string("side ") + name + ": " + *error;
      return false;
    }
  }
  return true;
}

std::string unusableReason(const StoredResult& r) {
  if (r.iterations == 0) {
    return "it has no finished iteration" +
           (r.interrupted.empty() ? ""
                                  : " (interrupted " + r.interrupted + ")");
  }
  if (!r.interrupted.empty()) return "it was interrupted " + r.interrupted;
  if (r.failedFiles != 0) {
    return "it is not valid: " + std::to_string(r.failedFiles) +
           " operations failed in it";
  }
  if (!r.valid) return "it is not valid (see its warnings)";
  return "";
}

std::vector<std::string> phaseDifferences(const StoredResult& baseline,
                                          const bool ran[kNbPhases]) {
  std::vector<std::string> differences;
  for (int k = 0; k < kNbPhases; ++k) {
    if (baseline.rates[k].empty() == ran[k]) {
      differences.push_back(std::string("the baseline has ") +
                            (ran[k] ? "no " : "a ") + phaseName(kPhases[k]) +
                            " phase, the other " + (ran[k] ? "has" : "none"));
    }
  }
  return differences;
}

StoredResult resultOf(const std::vector<RunResults>& iterations,
                      const RunContext& run) {
  StoredResult r;
  readWorkload(Json::object(), settingsJson(run), &r);
  r.host = run.system.hostname;
  r.fileSystem = run.system.mount.type;
  r.mountOptions = run.system.mount.options;
  r.workDir = run.workDir;
  r.label = run.settings->label.value_or("");
  r.valid = !run.interruption.happened();
  for (const RunResults& it : iterations) {
    r.valid = r.valid && runValid(it, run.topology.threads);
  }
  for (Phase phase : kPhases) {
    r.rates[static_cast<int>(phase)] = iterationRates(iterations, phase, true);
  }
  r.warnings = runWarnings(iterations, threadsHere(run), run.system.cpus,
                           run.side != nullptr);
  return r;
}

namespace {

// Reads the regular file at `path` into `text`, never blocking on what stands
// there nor reading past kMaxResultBytes; on failure returns false with the
// reason in `error`.
bool readResultFile(const std::string& path, std::string* textOut,
                    std::string* error) {
  // O_NONBLOCK: a FIFO at the path is refused, not waited on.
  const UniqueFd fd(open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st;
  if (!fd || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    *error = !fd ? strerror(errno) : "not a regular file";
    return false;
  }
  const std::string tooLarge =
      "larger than " + std::to_string(kMaxResultBytes >> 20) + " MiB";
  if (static_cast<uint64_t>(st.st_size) > kMaxResultBytes) {
    *error = tooLarge;
    return false;
  }
  std::string& text = *textOut;
  char buffer[65536];
  ssize_t n;
  while ((n = read(fd.get(), buffer, sizeof buffer)) != 0) {
    if (text.size() > kMaxResultBytes) {
      *error = tooLarge;  // it grew
      return false;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = std::string("read: ") + strerror(errno);
      return false;
    }
    text.append(buffer, static_cast<size_t>(n));
  }
  return true;
}

}  // namespace

bool loadResult(const std::string& path, StoredResult* result,
                std::string* error) {
  std::string text;
  return readResultFile(path, &text, error) && readResult(text, result, error);
}

bool loadSides(const std::string& path, StoredResult sides[2],
               std::string* error) {
  std::string text;
  return readResultFile(path, &text, error) && readSides(text, sides, error);
}

std::vector<std::string> workloadDifferences(const StoredResult& baseline,
                                             const StoredResult& now) {
  std::vector<std::string> differences;
  for (const auto& [name, value] : now.workload) {
    std::string before = "null";
    for (const auto& [key, text] : baseline.workload) {
      if (key == name) before = text;
    }
    if (before != value) {
      differences.push_back(name + ": " + before + " in the baseline, " +
                            value + " here");
    }
  }
  return differences;
}

Comparison compareResults(const StoredResult& baseline, const StoredResult& now,
                          double threshold) {
  Comparison comparison;
  comparison.threshold = threshold;
  if (baseline.host != now.host) {
    comparison.notes.push_back("the baseline ran on " + baseline.host +
                               ", this run on " + now.host);
  }
  if (baseline.fileSystem != now.fileSystem) {
    comparison.notes.push_back("the baseline ran on " + baseline.fileSystem +
                               ", this run on " + now.fileSystem);
  }
  if (baseline.mountOptions != now.mountOptions) {
    comparison.notes.push_back("the baseline's file system was mounted " +
                               baseline.mountOptions + ", this run's " +
                               now.mountOptions);
  }
  for (int k = 0; k < kNbPhases; ++k) {
    const RateSpread others = rateSpread(baseline.otherCpus[k]);
    if (others.count != 0 && others.mean > kBusyCpus) {
      comparison.notes.push_back(formatted(
          "the host was busy during the baseline: other processes used %.1f "
          "CPUs during %s",
          others.mean, phaseName(kPhases[k])));
    }
  }
  if (baseline.threads != now.threads) {
    comparison.threads = "threads: " + baseline.threads + " in the baseline, " +
                         now.threads + " here";
  }
  // The phases both sides ran, each interval at 1 - 5% / their number, so
  // that all of them hold together at 95% (Bonferroni): a run of five phases
  // would otherwise call one of them changed by chance one time in five.
  std::vector<PhaseComparison> phases;
  for (int k = 0; k < kNbPhases; ++k) {
    PhaseComparison c;
    c.phase = kPhases[k];
    c.baseline = rateSpread(baseline.rates[k]);
    c.now = rateSpread(now.rates[k]);
    if (c.baseline.count != 0 && c.now.count != 0 && c.baseline.mean > 0) {
      phases.push_back(c);
    }
  }
  comparison.confidence =
      1 - 0.05 / static_cast<double>(std::max<size_t>(phases.size(), 1));
  for (PhaseComparison& c : phases) {
    c.change = 100 * (c.now.mean / c.baseline.mean - 1);
    const bool beyond = std::fabs(c.change) > threshold;
    if (c.baseline.count < 2 || c.now.count < 2) {
      c.low = c.high = c.pValue = NAN;
      c.verdict = !beyond        ? "within threshold (one iteration)"
                  : c.change < 0 ? "slower (one iteration)"
                                 : "faster (one iteration)";
    } else {
      double low, high;
      ratioInterval(c.baseline, c.now, 1 - comparison.confidence, &c.pValue,
                    &low, &high);
      c.unbounded = std::isnan(low);
      c.low = 100 * (low - 1);
      c.high = 100 * (high - 1);
      // Significant: the interval leaves out no change.
      const bool significant = !c.unbounded && (low > 1 || high < 1);
      c.verdict = !significant   ? "no significant change"
                  : !beyond      ? "within threshold"
                  : c.change < 0 ? "slower"
                                 : "faster";
    }
    c.regressed = strncmp(c.verdict, "slower", 6) == 0;
    comparison.regressed = comparison.regressed || c.regressed;
  }
  comparison.phases = std::move(phases);
  return comparison;
}

Comparison compareSides(const StoredResult& a, const StoredResult& b,
                        double threshold) {
  Comparison comparison = compareResults(a, b, threshold);
  comparison.notes.clear();
  return comparison;
}

std::string sidesTitle(const std::string& dirA, const std::string& dirB) {
  return "B (" + dirB + ") compared with A (" + dirA + ")";
}

std::string comparisonText(const Comparison& comparison,
                           const std::string& title, bool sides) {
  std::string text;
  for (const std::string& note : comparison.notes) {
    text += "Warning: " + note + "\n";
  }
  text += title +
          ": files/s over the file work, mean +- stddev "
          "(iterations); intervals of the ratio of the means, " +
          (comparison.phases.size() > 1
               ? "95% for the " + std::to_string(comparison.phases.size()) +
                     " phases together"
               : std::string("95%")) +
          ", threshold " + fixed(comparison.threshold, 1) + "%" +
          (comparison.threads.empty() ? "" : "; " + comparison.threads) + "\n";
  std::vector<std::vector<std::string>> rows = {
      {"phase", sides ? "A" : "baseline", sides ? "B" : "this run", "change",
       "interval", "verdict"}};
  for (const PhaseComparison& c : comparison.phases) {
    rows.push_back({phaseName(c.phase), sideText(c.baseline), sideText(c.now),
                    percentText(c.change),
                    c.unbounded ? "unbounded"
                    : std::isnan(c.low)
                        ? "-"
                        : percentText(c.low) + " to " + percentText(c.high),
                    c.verdict});
  }
  return text + alignedTable(rows, 1, true);
}

int compareStored(const std::string& baselinePath,
                  const std::string& resultPath, double threshold) {
  const bool sides = baselinePath.empty();
  StoredResult results[2];
  std::string error;
  for (int k = sides ? 1 : 0; k < 2; ++k) {
    const std::string& path = k == 0 ? baselinePath : resultPath;
    if (sides ? !loadSides(path, results, &error)
              : !loadResult(path, &results[k], &error)) {
      logMessage("Can't compare '%s': %s\n", path.c_str(), error.c_str());
      return 1;
    }
  }
  const StoredResult& baseline = results[0];
  const StoredResult& now = results[1];
  for (int k = 0; k < 2; ++k) {
    const std::string why = unusableReason(results[k]);
    if (why.empty()) continue;
    if (sides) {
      logMessage("Can't compare side %c of '%s': %s\n", "AB"[k],
                 resultPath.c_str(), why.c_str());
    } else {
      logMessage("Can't compare '%s': %s\n",
                 (k == 0 ? baselinePath : resultPath).c_str(), why.c_str());
    }
    return 1;
  }
  bool ran[kNbPhases];
  for (int k = 0; k < kNbPhases; ++k) ran[k] = !now.rates[k].empty();
  std::vector<std::string> differences = workloadDifferences(baseline, now);
  for (std::string& d : differences) d = "the workloads differ in " + d;
  for (const std::string& d : phaseDifferences(baseline, ran)) {
    differences.push_back(d);
  }
  for (const std::string& d : differences) {
    logMessage("Can't compare: %s\n", d.c_str());
  }
  if (!differences.empty()) return 1;
  const Comparison comparison = sides
                                    ? compareSides(baseline, now, threshold)
                                    : compareResults(baseline, now, threshold);
  logMessage("%s",
             comparisonText(comparison,
                            sides ? sidesTitle(baseline.workDir, now.workDir)
                                  : "Compared with " + baselinePath,
                            sides)
                 .c_str());
  for (int k = sides ? 0 : 1; k < 2; ++k) {
    for (const std::string& w : results[k].warnings) {
      logMessage("Warning: %s%s\n",
                 sides ? (k == 0 ? "side A: " : "side B: ") : "", w.c_str());
    }
  }
  return comparison.regressed ? 2 : 0;
}

}  // namespace treeflood
