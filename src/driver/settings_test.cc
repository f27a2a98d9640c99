#include "driver/settings.h"

#include <map>

#include "driver/csv.h"
#include "driver/summary.h"
#include "test_util.h"

namespace treeflood {

TEST(CommandLine, Outcomes) {
  const std::string help =
      "treeflood, version: " + std::string(kVersion) +
      "\n"
      "   --dir,     -d : set working directory to\n"
      "                   default value : current working directory\n"
      "   --dontDeleteFiles : do not delete files\n"
      "   --help,    -h : show this and exit\n"
      "   --nbFiles, -f : set number of files that will be created and "
      "deleted\n"
      "                   default value : 100000 files\n"
      "   --no-direct-io, -D : don't open with `O_DIRECT` flag\n"
      "   --pause,   -p : make a pause before deleting files\n"
      "   --threads, -t : set number of threads will be created\n"
      "                   default value : 1 thread\n"
      "                   should be between 1 and 64\n"
      "   --version, -V : show version and exit\n";
  const std::string version = "treeflood version: " + std::string(kVersion) +
                              ", build: " + kBuildDate + " " + kBuildTime +
                              "\n";
  const std::string f = "' is not a valid argument for '-f' option\n";
  struct Case {
    std::vector<std::string> args;
    int status;  // -1: runs, with these settings
    std::string out;
    uint64_t nbFiles = 100000;
    unsigned threads = 1;
    bool direct = true;
    uint64_t fileSize = 10240;
    uint64_t iterations = 1;
    double timeLimit = 0;
    std::string workload = "fsync none, 1024 directories, sequential order";
  };
  std::vector<Case> cases = {
      {words("-f 0 -t 64"), -1, "", 0, 64},
      {{"-f", " +7", "--threads", "1", "-p", "--dontDeleteFiles"}, -1, "", 7},
      {words("--nbFiles=18446744073709551615 -t4"), -1, "", UINT64_MAX, 4},
      {words("-D -s 1g --summary --no-progress --label a --compare b "
             "--threshold 7.5"),
       -1, "", 100000, 1, false, 1 << 30},
      {words("--compare b --stored c --threshold 1 -h"), 0, help},
      {words("--compare b --stored c --summary -t 2"), 1,
       "-t has no effect with --stored\n"},
      {words("-i 3 --csv r.csv"), -1, "", 100000, 1, true, 10240, 3},
      {words("-d a --dir b -d b"), -1,
       "Warning: using 'b' instead of 'a' as working directory\n"},
      {{"-f", " -0", "-t", "y"}, 1, "' -0" + f},
      {{"--time-limit", " 2"},
       1,
       "' 2' is not a valid argument for '--time-limit' option\n"},
      {words("-t 0"), 1, "Number of thread should be between 1 and 64\n"},
      {words("-t 65"), 1, "Number of thread should be between 1 and 64\n"},
      // Repeated values warn; repeated counts and flags don't.
      {words("--time-limit 2.05 --json a --json b --csv c --csv d --fsync "
             "file --fsync phase -t 2 -t 3 --drop-caches --drop-caches -D -D"),
       -1,
       "Warning: using 'b' instead of 'a' as --json file\n"
       "Warning: using 'd' instead of 'c' as --csv file\n"
       "Warning: using 'phase' instead of 'file' as --fsync mode\n"
       "Warning: using '3' instead of '2' as -t value\n",
       100000, 3, false, 10240, 1, 2.05,
       "fsync phase, 1024 directories, sequential order"},
      {.args = words("--fsync phase --read --dirs 1 --order random --seed "
                     "18446744073709551615"),
       .status = -1,
       .workload = "fsync phase, 1 directories, random order (seed "
                   "18446744073709551615), read"},
      {.args = words("--data random --seed 5"),
       .status = -1,
       .workload = "fsync none, 1024 directories, sequential order, random "
                   "data (seed 5)"},
      {words("--seed 5"), 1, "--seed needs --order random or --data random\n"},
      {words("--threshold 0"), 1, "--threshold needs --compare or --against\n"},
      {words("--against b"), 1,
       "--against needs -i 2 or more: each side runs that many times\n"},
      {words("--against b -i 2 --compare c"), 1,
       "--against compares its two directories: leave out --compare\n"},
      {words("--stored c --against b"), 1,
       "--against has no effect with --stored\n"},
      // Diagnosed on standard error only.
      {words("--bogus"), 1, ""},
      {words("-h -f abc"), 0, help},
      {words("--version -f abc"), 0, version},
  };
  // Refused values: the option, the value and the option as the message
  // names it where that differs; and what some messages add.
  const std::map<std::string, std::string> more = {
      {"--dirs", ": a power of two from 1 to 65536"},
      {"-s", ": a count of bytes, or of K, M or G (1024s), at most 1G"},
      {"--threshold", ": a percentage from 0 to 100"},
      {"--fsync", ": none, file or phase"},
      {"--order", ": sequential or random"},
      {"--data", ": zeros or random"}};
  std::istringstream refused(
      "--batch 0|--iterations 0 -i|-i 1001|-f abc|-f 12x|-f "
      "18446744073709551616|--time-limit 0|--time-limit 31536000.5|"
      "--time-limit 1e300|--time-limit 0x10|--time-limit .|--stall-timeout 0|"
      "--seed -1|--dirs 0|--dirs 3|--dirs 131072|-s 2G|--threshold 100.5|"
      "--fsync all|--order shuffled|--data ones");
  for (std::string row; std::getline(refused, row, '|');) {
    const std::vector<std::string> w = words(row);
    const std::string& named = w.back() == w[1] ? w[0] : w[2];
    cases.push_back({{w[0], w[1]},
                     1,
                     "'" + w[1] + "' is not a valid argument for '" + named +
                         "' option" +
                         (more.count(named) ? more.at(named) : "") + "\n"});
  }
  for (const auto& c : cases) {
    std::vector<std::string> args = c.args;
    args.insert(args.begin(), "/usr/bin/treeflood");
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    RunSettings s;
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    ParseResult r =
        parseCommandLine(static_cast<int>(argv.size()), argv.data(), &s);
    // Of the help, the lines it has always had; the others name the options
    // added since (which the shipped-files test checks).
    std::string out = testing::internal::GetCapturedStdout();
    if (c.out == help) out.resize(std::min(out.size(), help.size()));
    EXPECT_EQ(out, c.out) << args[1];
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.run ? -1 : r.exitStatus, c.status) << args[1];
    EXPECT_EQ(c.status == 1 && c.out.empty(), !err.empty()) << args[1];
    if (!r.run) continue;
    EXPECT_EQ(s.nbFiles, c.nbFiles) << args[1];
    EXPECT_EQ(s.threads, c.threads) << args[1];
    EXPECT_EQ(s.directIo, c.direct) << args[1];
    EXPECT_EQ(s.fileSize, c.fileSize) << args[1];
    EXPECT_EQ(s.iterations, c.iterations) << args[1];
    EXPECT_EQ(s.timeLimit, c.timeLimit) << args[1];
    EXPECT_EQ(
        workloadText(s, s.seed.value_or(0)) + (s.readBack ? ", read" : ""),
        c.workload);
  }
}

}  // namespace treeflood
