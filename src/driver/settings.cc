#include "driver/settings.h"

#include <errno.h>
#include <getopt.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <string>

#include "console/output.h"

namespace treeflood {

const char kVersion[] = "V" TREEFLOOD_VERSION;
const char kBuildDate[] = __DATE__;
const char kBuildTime[] = __TIME__;

// Codes of the options without a short form, outside the characters.
const int kDontDeleteFiles = 256;
const int kSummary = 257;
const int kJson = 258;
const int kTimeLimit = 259;
const int kDropCaches = 260;
const int kCsv = 261;
const int kBatch = 262;
const int kCompare = 263;
const int kThreshold = 264;
const int kStored = 265;
const int kLabel = 266;
const int kNoProgress = 267;
const int kCleanup = 268;
const int kStallTimeout = 269;
const int kFsync = 270;
const int kRead = 271;
const int kDirs = 272;
const int kOrder = 273;
const int kSeed = 274;

const char* const kSyncNames[3] = {"none", "file", "phase"};
const char* const kOrderNames[2] = {"sequential", "random"};

const char kShortOptions[] = "d:Df:hi:ps:t:V";

const struct option kLongOptions[] = {
    {"batch", required_argument, nullptr, kBatch},
    {"cleanup", no_argument, nullptr, kCleanup},
    {"compare", required_argument, nullptr, kCompare},
    {"csv", required_argument, nullptr, kCsv},
    {"dir", required_argument, nullptr, 'd'},
    {"dirs", required_argument, nullptr, kDirs},
    {"dontDeleteFiles", no_argument, nullptr, kDontDeleteFiles},
    {"drop-caches", no_argument, nullptr, kDropCaches},
    {"filesize", required_argument, nullptr, 's'},
    {"fsync", required_argument, nullptr, kFsync},
    {"help", no_argument, nullptr, 'h'},
    {"iterations", required_argument, nullptr, 'i'},
    {"json", required_argument, nullptr, kJson},
    {"label", required_argument, nullptr, kLabel},
    {"nbFiles", required_argument, nullptr, 'f'},
    {"no-direct-io", no_argument, nullptr, 'D'},
    {"no-progress", no_argument, nullptr, kNoProgress},
    {"order", required_argument, nullptr, kOrder},
    {"pause", no_argument, nullptr, 'p'},
    {"read", no_argument, nullptr, kRead},
    {"seed", required_argument, nullptr, kSeed},
    {"stall-timeout", required_argument, nullptr, kStallTimeout},
    {"stored", required_argument, nullptr, kStored},
    {"summary", no_argument, nullptr, kSummary},
    {"threads", required_argument, nullptr, 't'},
    {"threshold", required_argument, nullptr, kThreshold},
    {"time-limit", required_argument, nullptr, kTimeLimit},
    {"version", no_argument, nullptr, 'V'},
    {nullptr, 0, nullptr, 0},
};

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

// Says that `option`'s later value `now` replaces `before`.
void warnReplaced(const char* option, const char* now,
                  const std::optional<std::string>& before) {
  if (before) {
    logMessage("Warning: using '%s' instead of '%s' as %s\n", now,
               before->c_str(), option);
  }
}

void printHelp(const char* name) {
  logMessage("%s, version: %s\n", name, kVersion);
  logMessage("   --dir,     -d : set working directory to\n");
  logMessage("                   default value : current working directory\n");
  logMessage("   --dontDeleteFiles : do not delete files\n");
  logMessage("   --help,    -h : show this and exit\n");
  logMessage(
      "   --nbFiles, -f : set number of files that will be created and "
      "deleted\n");
  logMessage("                   default value : %lld files\n", 100000LL);
  logMessage("   --no-direct-io, -D : don't open with `O_DIRECT` flag\n");
  logMessage("   --pause,   -p : make a pause before deleting files\n");
  logMessage("   --threads, -t : set number of threads will be created\n");
  logMessage("                   default value : 1 thread\n");
  logMessage("                   should be between 1 and 64\n");
  logMessage("   --version, -V : show version and exit\n");
  logMessage(
      "   --summary : print a table of rates and latencies at the end\n");
  logMessage("   --json FILE : write the results to FILE as JSON\n");
  logMessage(
      "   --filesize, -s SIZE : bytes in each file, K, M or G for 1024s\n");
  logMessage("                   default value : 10240, 0 for empty files\n");
  logMessage(
      "   --time-limit SECONDS : stop creating files after SECONDS (at most "
      "%.0f)\n",
      kMaxTimeLimit);
  logMessage(
      "   --drop-caches : listing and size start cold (twice: delete too)\n");
  logMessage("   --iterations, -i N : run everything N times (1 to 1000)\n");
  logMessage("   --csv FILE : append a row per phase and iteration to FILE\n");
  logMessage(
      "   --batch K : treeflood-mpi only: the largest grant of numbers\n");
  logMessage(
      "   --stall-timeout SECONDS : treeflood-mpi only: end the job when a "
      "rank\n"
      "                   sends nothing for SECONDS, default 120\n");
  logMessage(
      "   --compare BASELINE.json : say which phases are slower or faster "
      "than\n"
      "                   in BASELINE (exit status 2 when one is slower)\n");
  logMessage(
      "   --threshold PCT : the smallest change that counts, default 5\n");
  logMessage(
      "   --stored RESULT.json : with --compare, compare RESULT instead of "
      "running\n");
  logMessage("   --label TEXT : name the run in the JSON, the CSV and plots\n");
  logMessage("   --no-progress : no live line, only the messages\n");
  logMessage(
      "   --cleanup : remove the tree a killed run left, and nothing else\n");
  logMessage(
      "   --fsync MODE : file: fsync each file before its close; phase: one\n"
      "                   syncfs after the files, within the file work\n");
  logMessage(
      "   --read : read every file back and check its bytes, after the size "
      "phase\n");
  logMessage(
      "   --dirs N : spread the files over N directories, a power of two\n"
      "                   from 1 to %u, default %u\n",
      kMaxDirs, kDefaultDirs);
  logMessage(
      "   --order random : visit each phase's files in a random order of its "
      "own\n");
  logMessage(
      "   --seed S : with --order random, the order's seed, to repeat a run\n");
}

// The index of `text` in `names`, or -1.
int indexOf(const char* text, const char* const* names, int count) {
  for (int i = 0; i < count; ++i) {
    if (strcmp(text, names[i]) == 0) return i;
  }
  return -1;
}

}  // namespace

const char* programName(const char* argv0) {
  if (argv0 == nullptr) return "treeflood";
  const char* slash = strrchr(argv0, '/');
  return slash != nullptr ? slash + 1 : argv0;
}

ParseResult parseCommandLine(int argc, char** argv, RunSettings* settings) {
  const char* name = programName(argc > 0 ? argv[0] : nullptr);
  // 0 rather than 1 makes glibc's getopt start afresh, so that a second parse
  // in the same process (as in tests) sees the whole command line.
  optind = 0;
  settings->commandLine.assign(argv, argv + argc);
  int option;
  while ((option = getopt_long(argc, argv, kShortOptions, kLongOptions,
                               nullptr)) != -1) {
    uint64_t count;
    switch (option) {
      case 'd':
        warnReplaced("working directory", optarg, settings->workDir);
        settings->workDir = optarg;
        break;
      case 'D':
        settings->directIo = false;
        break;
      case 'f':
        if (!readCount(optarg, &count)) {
          logMessage("'%s' is not a valid argument for '-f' option\n", optarg);
          return {false, 1};
        }
        settings->nbFiles = count;
        break;
      case 'h':
        printHelp(name);
        return {false, 0};
      case 'p':
        settings->pause = true;
        break;
      case 't':
        if (!readCount(optarg, &count)) {
          logMessage("'%s' is not a valid argument for '-t' option\n", optarg);
          return {false, 1};
        }
        if (count == 0 || count > 64) {
          logMessage("Number of thread should be between 1 and 64\n");
          return {false, 1};
        }
        settings->threads = static_cast<uint16_t>(count);
        break;
      case kDontDeleteFiles:
        settings->dontDeleteFiles = true;
        break;
      case kSummary:
        settings->summary = true;
        break;
      case kJson:
        warnReplaced("--json file", optarg, settings->jsonPath);
        settings->jsonPath = optarg;
        break;
      case kBatch:
        if (!readCount(optarg, &count) || count == 0 || count > 1000000) {
          logMessage("'%s' is not a valid argument for '--batch' option\n",
                     optarg);
          return {false, 1};
        }
        settings->batch = count;
        break;
      case kCsv:
        warnReplaced("--csv file", optarg, settings->csvPath);
        settings->csvPath = optarg;
        break;
      case 'i':
        // Each iteration's figures stay until the run ends, 115 KB of them
        // with --summary or --json: 1000 keep that within 115 MB.
        if (!readCount(optarg, &count) || count == 0 || count > 1000) {
          logMessage("'%s' is not a valid argument for '-i' option\n", optarg);
          return {false, 1};
        }
        settings->iterations = count;
        break;
      case kDropCaches:
        ++settings->dropCaches;
        break;
      case kTimeLimit:
        if (!readDecimal(optarg, 0, kMaxTimeLimit, &settings->timeLimit) ||
            settings->timeLimit == 0) {
          logMessage("'%s' is not a valid argument for '--time-limit' option\n",
                     optarg);
          return {false, 1};
        }
        break;
      case 'V':
        logMessage("%s version: %s, build: %s %s\n", name, kVersion, kBuildDate,
                   kBuildTime);
        return {false, 0};
      case 's':
        if (!readSize(optarg, &settings->fileSize)) {
          logMessage(
              "'%s' is not a valid argument for '-s' option: a count of "
              "bytes, or of K, M or G (1024s), at most 1G\n",
              optarg);
          return {false, 1};
        }
        break;
      case kCompare:
        warnReplaced("--compare file", optarg, settings->comparePath);
        settings->comparePath = optarg;
        break;
      case kStored:
        warnReplaced("--stored file", optarg, settings->storedPath);
        settings->storedPath = optarg;
        break;
      case kThreshold: {
        double percent;
        if (!readDecimal(optarg, 0, 100, &percent)) {
          logMessage(
              "'%s' is not a valid argument for '--threshold' option: a "
              "percentage from 0 to 100\n",
              optarg);
          return {false, 1};
        }
        settings->threshold = percent;
        break;
      }
      case kLabel:
        settings->label = optarg;
        break;
      case kNoProgress:
        settings->progress = false;
        break;
      case kStallTimeout: {
        double seconds;
        if (!readDecimal(optarg, 0, kMaxTimeLimit, &seconds) || seconds == 0) {
          logMessage(
              "'%s' is not a valid argument for '--stall-timeout' option\n",
              optarg);
          return {false, 1};
        }
        settings->stallTimeout = seconds;
        break;
      }
      case kCleanup:
        settings->cleanup = true;
        break;
      case kFsync: {
        const int mode = indexOf(optarg, kSyncNames, 3);
        if (mode < 0) {
          logMessage(
              "'%s' is not a valid argument for '--fsync' option: file or "
              "phase\n",
              optarg);
          return {false, 1};
        }
        settings->sync = static_cast<SyncMode>(mode);
        break;
      }
      case kRead:
        settings->readBack = true;
        break;
      case kDirs:
        if (!readCount(optarg, &count) || count == 0 || count > kMaxDirs ||
            (count & (count - 1)) != 0) {
          logMessage(
              "'%s' is not a valid argument for '--dirs' option: a power of "
              "two from 1 to %u\n",
              optarg, kMaxDirs);
          return {false, 1};
        }
        settings->dirs = static_cast<unsigned>(count);
        break;
      case kOrder: {
        const int order = indexOf(optarg, kOrderNames, 2);
        if (order < 0) {
          logMessage(
              "'%s' is not a valid argument for '--order' option: sequential "
              "or random\n",
              optarg);
          return {false, 1};
        }
        settings->randomOrder = order == 1;
        break;
      }
      case kSeed:
        if (!readCount(optarg, &count)) {
          logMessage("'%s' is not a valid argument for '--seed' option\n",
                     optarg);
          return {false, 1};
        }
        settings->seed = count;
        break;
      default:
        // An unknown option or a missing argument, which getopt_long has
        // already named on standard error.
        return {false, 1};
    }
  }
  if (optind < argc) {
    dprintf(2, "%s: unexpected argument '%s'\n", name, argv[optind]);
    return {false, 1};
  }
  // Options that would do nothing without --compare.
  const char* alone = settings->storedPath  ? "--stored"
                      : settings->threshold ? "--threshold"
                                            : nullptr;
  if (alone != nullptr && !settings->comparePath) {
    logMessage("%s needs --compare\n", alone);
    return {false, 1};
  }
  if (settings->seed && !settings->randomOrder) {
    logMessage("--seed needs --order random\n");
    return {false, 1};
  }
  return {true, 0};
}

}  // namespace treeflood
