#include "driver/settings.h"

#include "test_util.h"

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
      "   --version, -V : show version and exit\n"
      "   --summary : print a table of rates and latencies at the end\n"
      "   --json FILE : write the results to FILE as JSON\n"
      "   --filesize, -s : bytes in each file, K, M or G for 1024s\n"
      "                   default value : 10240, 0 for empty files\n"
      "   --time-limit SECONDS : stop creating files after SECONDS (at most "
      "31536000)\n"
      "   --drop-caches : listing and size start cold (twice: delete too)\n"
      "   --iterations, -i : run everything N times (1 to 1000)\n"
      "   --csv FILE : append a row per phase and iteration to FILE\n"
      "   --batch K : treeflood-mpi only: numbers per request, default 1\n";
  const std::string version = "treeflood version: " + std::string(kVersion) +
                              ", build: " + kBuildDate + " " + kBuildTime +
                              "\n";
  const std::string f = "' is not a valid argument for '-f' option\n";
  const struct {
    std::vector<std::string> args;
    int status;  // -1: runs, with these settings
    std::string out;
    uint64_t nbFiles = 100000;
    unsigned threads = 1;
    bool direct = true;
    uint64_t fileSize = 10240;
    uint64_t iterations = 1;
    double timeLimit = 0;
  } cases[] = {
      {{"-f", "0", "-t", "64"}, -1, "", 0, 64},
      {{"-f", " +7", "--threads", "1", "-p", "--dontDeleteFiles"}, -1, "", 7},
      {{"--nbFiles=18446744073709551615", "-t4"}, -1, "", UINT64_MAX, 4},
      {{"-D", "-s", "1G", "--summary"}, -1, "", 100000, 1, false, 1 << 30},
      {{"-i", "3", "--csv", "r.csv"}, -1, "", 100000, 1, true, 10240, 3},
      {{"--batch", "0"},
       1,
       "'0' is not a valid argument for '--batch' option\n"},
      {{"--iterations", "0"},
       1,
       "'0' is not a valid argument for '-i' option\n"},
      {{"-i", "1001"}, 1, "'1001' is not a valid argument for '-i' option\n"},
      {{"-s", "2G"}, 1, "'2G' is not a valid argument for '-s' option\n"},
      {{"-d", "a", "--dir", "b"},
       -1,
       "Warning: using 'b' instead of 'a' as working directory\n"},
      {{"-f", "abc"}, 1, "'abc" + f},
      {{"-f", "12x"}, 1, "'12x" + f},
      {{"-f", " -0", "-t", "y"}, 1, "' -0" + f},
      {{"-f", "18446744073709551616"}, 1, "'18446744073709551616" + f},
      {{"-t", "0"}, 1, "Number of thread should be between 1 and 64\n"},
      {{"-t", "65"}, 1, "Number of thread should be between 1 and 64\n"},
      {{"--time-limit", "2.5", "--json", "a", "--json", "b", "--csv", "c",
        "--csv", "d"},
       -1,
       "Warning: using 'b' instead of 'a' as --json file\n"
       "Warning: using 'd' instead of 'c' as --csv file\n",
       100000,
       1,
       true,
       10240,
       1,
       2.5},
      {{"--time-limit", "0"},
       1,
       "'0' is not a valid argument for '--time-limit' option\n"},
      {{"--time-limit", "31536000.5"},
       1,
       "'31536000.5' is not a valid argument for '--time-limit' option\n"},
      {{"--time-limit", "1e300"},
       1,
       "'1e300' is not a valid argument for '--time-limit' option\n"},
      {{"--time-limit", "0x10"},
       1,
       "'0x10' is not a valid argument for '--time-limit' option\n"},
      {{"--time-limit", " 2"},
       1,
       "' 2' is not a valid argument for '--time-limit' option\n"},
      {{"--time-limit", "."},
       1,
       "'.' is not a valid argument for '--time-limit' option\n"},
      // Diagnosed on standard error only.
      {{"--bogus"}, 1, ""},
      {{"-h", "-f", "abc"}, 0, help},
      {{"-V", "-f", "abc"}, 0, version},
      {{"--version"}, 0, version},
  };
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
    EXPECT_EQ(testing::internal::GetCapturedStdout(), c.out) << args[1];
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(r.run ? -1 : r.exitStatus, c.status) << args[1];
    EXPECT_EQ(c.status == 1 && c.out.empty(), !err.empty()) << args[1];
    if (!r.run) continue;
    EXPECT_EQ(s.nbFiles, c.nbFiles) << args[1];
    EXPECT_EQ(s.threads, c.threads) << args[1];
    EXPECT_EQ((s.openFlags & O_DIRECT) != 0, c.direct) << args[1];
    EXPECT_EQ(s.fileSize, c.fileSize) << args[1];
    EXPECT_EQ(s.iterations, c.iterations) << args[1];
    EXPECT_EQ(s.timeLimit, c.timeLimit) << args[1];
  }
}
