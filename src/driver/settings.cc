#include "driver/settings.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "console/output.h"

namespace treeflood {

const char kVersion[] = "V" TREEFLOOD_VERSION;
const char kBuildDate[] = __DATE__;
const char kBuildTime[] = __TIME__;

const char* const kSyncNames[3] = {"none", "file", "phase"};
const char* const kOrderNames[2] = {"sequential", "random"};
const char* const kDataNames[2] = {"zeros", "random"};

namespace {

// Reads a count: optional leading blanks and "+", then digits to the end. A
// negative count, one beyond 64 bits, or one followed by anything else
// ("1e6", "0x10") is refused rather than read in part.
bool readCount(const char* text, uint64_t* count) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) ++p;
  if (*p == '-') return false;
  char* end;
  errno = 0;
  unsigned long long value = strtoull(p, &end, 10);
  if (end == p || *end != '\0' || errno == ERANGE) return false;
  *count = value;
  return true;
}

// Reads a size in bytes: a count, then optionally K, M or G (or k, m, g) for
// units of 1024. At most 1 GiB, since every file's bytes are one block in
// memory.
bool readSize(const char* text, uint64_t* size) {
  const uint64_t kMaxSize = uint64_t{1} << 30;
  const char kUnits[] = "KMGkmg";
  std::string digits(text);
  const char* unit = digits.empty() ? nullptr : strchr(kUnits, digits.back());
  if (unit != nullptr) digits.pop_back();
  if (!readCount(digits.c_str(), size)) return false;
  const int shift =
      unit != nullptr ? 10 * static_cast<int>((unit - kUnits) % 3 + 1) : 0;
  if (*size > (kMaxSize >> shift)) return false;
  *size <<= shift;
  return true;
}

// Reads a decimal from `min` to `max`: digits, then optionally "." and more
// digits, and nothing else, so that "1e300", "0x10" or " 2" are refused
// rather than read as something else.
bool readDecimal(const char* text, double min, double max, double* value) {
  const char* p = text;
  size_t digits = 0;
  for (; *p >= '0' && *p <= '9'; ++p) ++digits;
  if (*p == '.') {
    for (++p; *p >= '0' && *p <= '9'; ++p) ++digits;
  }
  if (digits == 0 || *p != '\0') return false;
  *value = strtod(text, nullptr);
  return *value >= min && *value <= max;
}

// The index of `text` in `names`, or -1.
int indexOf(const char* text, const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (strcmp(text, names[i]) == 0) return i;
  }
  return -1;
}

// What an option's setter found wrong with its argument, beside nothing.
const char kInvalid[] = "";

// Reads an option's argument, where it has one, into the settings. Returns
// null, kInvalid for the usual refusal, or a line of its own.
using Setter = const char* (*)(const char* arg, RunSettings* s);

// A setter of a count from `min` to `max` into `field`.
template <uint64_t min, uint64_t max, typename T, T RunSettings::*field>
const char* count(const char* arg, RunSettings* s) {
  uint64_t value;
  if (!readCount(arg, &value) || value < min || value > max) return kInvalid;
  s->*field = static_cast<T>(value);
  return nullptr;
}

// A setter of a path.
template <std::optional<std::string> RunSettings::*field>
const char* path(const char* arg, RunSettings* s) {
  s->*field = arg;
  return nullptr;
}

// A setter of a flag to `value`.
template <bool RunSettings::*field, bool value>
const char* flag(const char*, RunSettings* s) {
  s->*field = value;
  return nullptr;
}

// A setter of one of `names` (of `count`) into `field`, by its index.
template <typename T, T RunSettings::*field, const char* const* names,
          int count>
const char* named(const char* arg, RunSettings* s) {
  const int index = indexOf(arg, names, count);
  if (index < 0) return kInvalid;
  s->*field = static_cast<T>(index);
  return nullptr;
}

// A setter of a decimal from `min` (excluded when `positive`) to `max`
// seconds or percent into `field`.
template <std::optional<double> RunSettings::*field, int max, bool positive>
const char* decimal(const char* arg, RunSettings* s) {
  double value;
  if (!readDecimal(arg, 0, max, &value) || (positive && value == 0)) {
    return kInvalid;
  }
  s->*field = value;
  return nullptr;
}

// What an option does beside setting the settings.
enum class Action { Set, Help, Version };

// One option: its names, whether it takes an argument, what it sets, what
// the refusal of its argument adds to the usual text, and its lines in the
// help, in the order the help has them.
struct Option {
  const char* name;
  char letter;  // its short form, or 0
  bool takesArgument;
  Setter set;
  std::string refusal;
  std::string help;
  Action action = Action::Set;
};

const std::string kIndent = "                   ";
constexpr int kMaxSeconds = static_cast<int>(kMaxTimeLimit);

const Option kOptions[] = {
    {"dir", 'd', true, path<&RunSettings::workDir>, "",
     "   --dir,     -d : set working directory to\n" + kIndent +
         "default value : current working directory\n"},
    {"dontDeleteFiles", 0, false, flag<&RunSettings::dontDeleteFiles, true>, "",
     "   --dontDeleteFiles : do not delete files\n"},
    {"help", 'h', false, nullptr, "", "   --help,    -h : show this and exit\n",
     Action::Help},
    {"nbFiles", 'f', true,
     count<0, UINT64_MAX, uint64_t, &RunSettings::nbFiles>, "",
     "   --nbFiles, -f : set number of files that will be created and "
     "deleted\n" +
         kIndent + "default value : " + std::to_string(RunSettings{}.nbFiles) +
         " files\n"},
    {"no-direct-io", 'D', false, flag<&RunSettings::directIo, false>, "",
     "   --no-direct-io, -D : don't open with `O_DIRECT` flag\n"},
    {"pause", 'p', false, flag<&RunSettings::pause, true>, "",
     "   --pause,   -p : make a pause before deleting files\n"},
    {"threads", 't', true,
     [](const char* arg, RunSettings* s) -> const char* {
       uint64_t value;
       if (!readCount(arg, &value)) return kInvalid;
       if (value == 0 || value > 64) {
         return "Number of thread should be between 1 and 64\n";
       }
       s->threads = static_cast<uint16_t>(value);
       return nullptr;
     },
     "",
     "   --threads, -t : set number of threads will be created\n" + kIndent +
         "default value : 1 thread\n" + kIndent +
         "should be between 1 and 64\n"},
    {"version", 'V', false, nullptr, "",
     "   --version, -V : show version and exit\n", Action::Version},
    {"summary", 0, false, flag<&RunSettings::summary, true>, "",
     "   --summary : print a table of rates and latencies at the end\n"},
    {"json", 0, true, path<&RunSettings::jsonPath>, "",
     "   --json FILE : write the results to FILE as JSON\n"},
    {"filesize", 's', true,
     [](const char* arg, RunSettings* s) {
       return readSize(arg, &s->fileSize) ? nullptr : kInvalid;
     },
     ": a count of bytes, or of K, M or G (1024s), at most 1G",
     "   --filesize, -s SIZE : bytes in each file, K, M or G for 1024s\n" +
         kIndent + "default value : 10240, 0 for empty files\n"},
    {"time-limit", 0, true,
     [](const char* arg, RunSettings* s) {
       return readDecimal(arg, 0, kMaxTimeLimit, &s->timeLimit) &&
                      s->timeLimit != 0
                  ? nullptr
                  : kInvalid;
     },
     "",
     "   --time-limit SECONDS : stop creating files after SECONDS (at most " +
         std::to_string(kMaxSeconds) + ")\n"},
    {"drop-caches", 0, false,
     [](const char*, RunSettings* s) -> const char* {
       ++s->dropCaches;
       return nullptr;
     },
     "",
     "   --drop-caches : listing and size start cold (twice: delete too)\n"},
    // Each iteration's figures stay until the run ends, 115 KB of them with
    // --summary or --json: 1000 keep that within 115 MB.
    {"iterations", 'i', true,
     count<1, 1000, uint64_t, &RunSettings::iterations>, "",
     "   --iterations, -i N : run everything N times (1 to 1000)\n" + kIndent +
         "default value : 1\n"},
    {"csv", 0, true, path<&RunSettings::csvPath>, "",
     "   --csv FILE : append a row per phase and iteration to FILE\n"},
    {"batch", 0, true, count<1, 1000000, uint64_t, &RunSettings::batch>, "",
     "   --batch K : treeflood-mpi only: the largest grant of numbers\n"},
    {"stall-timeout", 0, true,
     decimal<&RunSettings::stallTimeout, kMaxSeconds, true>, "",
     "   --stall-timeout SECONDS : treeflood-mpi only: end the job when a "
     "rank\n" +
         kIndent + "finishes or sends nothing for SECONDS\n" + kIndent +
         "default value : 120\n"},
    {"compare", 0, true, path<&RunSettings::comparePath>, "",
     "   --compare BASELINE.json : say which phases are slower or faster "
     "than\n" +
         kIndent + "in BASELINE (exit status 2 when one is slower)\n"},
    {"threshold", 0, true, decimal<&RunSettings::threshold, 100, false>,
     ": a percentage from 0 to 100",
     "   --threshold PCT : the smallest change that counts\n" + kIndent +
         "default value : 5\n"},
    {"stored", 0, true, path<&RunSettings::storedPath>, "",
     "   --stored RESULT.json : with --compare, compare RESULT instead of "
     "running;\n" +
         kIndent + "alone, compare the two sides of an --against result\n"},
    {"against", 0, true, path<&RunSettings::againstDir>, "",
     "   --against DIR : run in DIR too, side by side, in turns (A B B A "
     "...),\n" +
         kIndent + "-i times each, and compare DIR's rates with those of -d\n"},
    {"label", 0, true,
     [](const char* arg, RunSettings* s) -> const char* {
       s->label = arg;
       return nullptr;
     },
     "", "   --label TEXT : name the run in the JSON, the CSV and plots\n"},
    {"no-progress", 0, false, flag<&RunSettings::progress, false>, "",
     "   --no-progress : no live line, only the messages\n"},
    {"cleanup", 0, false, flag<&RunSettings::cleanup, true>, "",
     "   --cleanup : remove the tree a killed run left, and nothing else\n"},
    {"fsync", 0, true, named<SyncMode, &RunSettings::sync, kSyncNames, 3>,
     ": none, file or phase",
     "   --fsync MODE : file: fsync each file before its close; phase: one\n" +
         kIndent + "syncfs after the files, within the file work\n" + kIndent +
         "default value : none\n"},
    {"read", 0, false, flag<&RunSettings::readBack, true>, "",
     "   --read : read every file back and check its bytes, after the size "
     "phase\n"},
    {"dirs", 0, true,
     [](const char* arg, RunSettings* s) -> const char* {
       uint64_t value;
       if (!readCount(arg, &value) || value == 0 || value > kMaxDirs ||
           (value & (value - 1)) != 0) {
         return kInvalid;
       }
       s->dirs = static_cast<unsigned>(value);
       return nullptr;
     },
     ": a power of two from 1 to " + std::to_string(kMaxDirs),
     "   --dirs N : spread the files over N directories, a power of two\n" +
         kIndent + "from 1 to " + std::to_string(kMaxDirs) + "\n" + kIndent +
         "default value : " + std::to_string(kDefaultDirs) + "\n"},
    {"order", 0, true, named<bool, &RunSettings::randomOrder, kOrderNames, 2>,
     ": sequential or random",
     "   --order random : visit each phase's files in a random order of its "
     "own\n" +
         kIndent + "default value : sequential\n"},
    {"data", 0, true, named<bool, &RunSettings::randomData, kDataNames, 2>,
     ": zeros or random",
     "   --data random : fill the files with random bytes, each block stamped "
     "with\n" +
         kIndent + "its file and offset, which --read checks\n" + kIndent +
         "default value : zeros\n"},
    {"seed", 0, true,
     [](const char* arg, RunSettings* s) -> const char* {
       uint64_t value;
       if (!readCount(arg, &value)) return kInvalid;
       s->seed = value;
       return nullptr;
     },
     "",
     "   --seed S : with --order random or --data random, the seed, to "
     "repeat a run\n"},
};
const int kNbOptions = static_cast<int>(std::size(kOptions));

// The options as getopt_long takes them: the short ones, and the long ones
// sorted by name, each standing for 256 plus its index in kOptions, so that
// none is a character.
struct GetoptTables {
  std::string shortOptions;
  std::vector<struct option> longOptions;
};

const GetoptTables& getoptTables() {
  static const GetoptTables tables = [] {
    GetoptTables t;
    for (int i = 0; i < kNbOptions; ++i) {
      const Option& o = kOptions[i];
      if (o.letter != 0) {
        t.shortOptions += o.letter;
        if (o.takesArgument) t.shortOptions += ':';
      }
      t.longOptions.push_back(
          {o.name, o.takesArgument ? required_argument : no_argument, nullptr,
           256 + i});
    }
    // glibc names an ambiguous abbreviation's possibilities in the table's
    // order: alphabetical, as it has always been.
    std::sort(t.longOptions.begin(), t.longOptions.end(),
              [](const struct option& a, const struct option& b) {
                return strcmp(a.name, b.name) < 0;
              });
    t.longOptions.push_back({nullptr, 0, nullptr, 0});
    return t;
  }();
  return tables;
}

// The option of getopt_long's `code`, or null for an unknown one.
const Option* optionOf(int code) {
  if (code >= 256 && code < 256 + kNbOptions) return &kOptions[code - 256];
  for (const Option& o : kOptions) {
    if (o.letter != 0 && o.letter == code) return &o;
  }
  return nullptr;
}

// The option as the refusal of its argument names it: its short form, or
// its long one.
std::string shownName(const Option& o) {
  return o.letter != 0 ? std::string("-") + o.letter
                       : std::string("--") + o.name;
}

// What an option's value is, as the warning of a repeated one names it.
std::string valueName(const Option& o) {
  static const struct {
    const char *option, *what;
  } kValues[] = {{"dir", "working directory"},
                 {"json", "--json file"},
                 {"csv", "--csv file"},
                 {"compare", "--compare file"},
                 {"stored", "--stored file"},
                 {"fsync", "--fsync mode"},
                 {"against", "--against directory"},
                 {"order", "--order mode"},
                 {"data", "--data mode"}};
  for (const auto& v : kValues) {
    if (strcmp(v.option, o.name) == 0) return v.what;
  }
  return shownName(o) + " value";
}

// Whether the option does something when --stored compares a stored result
// instead of running.
bool worksWithStored(const Option& o) {
  return o.action != Action::Set || strcmp(o.name, "compare") == 0 ||
         strcmp(o.name, "stored") == 0 || strcmp(o.name, "threshold") == 0;
}

}  // namespace

std::vector<std::string> optionNames() {
  std::vector<std::string> names;
  for (const Option& o : kOptions) {
    names.push_back(std::string("--") + o.name);
    if (o.letter != 0) names.push_back(std::string("-") + o.letter);
  }
  return names;
}

const char* programName(const char* argv0) {
  if (argv0 == nullptr) return "treeflood";
  const char* slash = strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

ParseResult parseCommandLine(int argc, char** argv, RunSettings* settings) {
  const char* name = programName(argc > 0 ? argv[0] : nullptr);
  const GetoptTables& tables = getoptTables();
  // 0 rather than 1 makes glibc's getopt start afresh, so that a second parse
  // in the same process (as in tests) sees the whole command line.
  optind = 0;
  settings->commandLine.assign(argv, argv + argc);
  // The value each option was last given, or null where it was not given.
  std::vector<const char*> given(kNbOptions, nullptr);
  for (int code;
       (code = getopt_long(argc, argv, tables.shortOptions.c_str(),
                           tables.longOptions.data(), nullptr)) != -1;) {
    const Option* o = optionOf(code);
    // An unknown option or a missing argument, which getopt_long has
    // already named on standard error.
    if (o == nullptr) return {false, 1};
    if (o->action == Action::Help) {
      std::string help = std::string(name) + ", version: " + kVersion + "\n";
      for (const Option& each : kOptions) help += each.help;
      logMessage("%s", help.c_str());
      return {false, 0};
    }
    if (o->action == Action::Version) {
      logMessage("%s version: %s, build: %s %s\n", name, kVersion, kBuildDate,
                 kBuildTime);
      return {false, 0};
    }
    const char* refused = o->set(optarg, settings);
    if (refused == kInvalid) {
      logMessage("'%s' is not a valid argument for '%s' option%s\n", optarg,
                 shownName(*o).c_str(), o->refusal.c_str());
      return {false, 1};
    }
    if (refused != nullptr) {
      logMessage("%s", refused);
      return {false, 1};
    }
    // Another value given later: it counts, and the warning says so.
    const char*& before = given[static_cast<size_t>(o - kOptions)];
    if (before != nullptr && o->takesArgument && strcmp(before, optarg) != 0) {
      logMessage("Warning: using '%s' instead of '%s' as %s\n", optarg, before,
                 valueName(*o).c_str());
    }
    before = o->takesArgument ? optarg : "";
  }
  if (optind < argc) {
    dprintf(2, "%s: unexpected argument '%s'\n", name, argv[optind]);
    return {false, 1};
  }
  // Options that would do nothing without a comparison.
  if (settings->threshold && !settings->comparePath && !settings->againstDir &&
      !settings->storedPath) {
    logMessage("--threshold needs --compare or --against\n");
    return {false, 1};
  }
  if (settings->againstDir && !settings->storedPath) {
    // Each side's spread needs two iterations at least.
    const char* refusal =
        settings->iterations < 2 ? "--against needs -i 2 or more: each side "
                                   "runs that many times\n"
        : settings->comparePath  ? "--against compares its two directories: "
                                   "leave out --compare\n"
                                 : nullptr;
    if (refusal != nullptr) {
      logMessage("%s", refusal);
      return {false, 1};
    }
  }
  for (int i = 0; settings->storedPath && i < kNbOptions; ++i) {
    if (given[static_cast<size_t>(i)] != nullptr &&
        !worksWithStored(kOptions[i])) {
      logMessage("%s has no effect with --stored\n",
                 shownName(kOptions[i]).c_str());
      return {false, 1};
    }
  }
  if (settings->seed && !settings->randomOrder && !settings->randomData) {
    logMessage("--seed needs --order random or --data random\n");
    return {false, 1};
  }
  return {true, 0};
}

}  // namespace treeflood
