#include "driver/settings.h"

#include <gtest/gtest.h>

#include <vector>

#include "test_util.h"

namespace {

struct Parsed {
  ParseResult result;
  RunSettings settings;
  std::string out;
};

Parsed parse(std::vector<std::string> args) {
  args.insert(args.begin(), "/usr/bin/treeflood");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  Parsed p;
  // getopt_long's own diagnostics go to standard error; keep them out of the
  // test log.
  testing::internal::CaptureStderr();
  CapturedStdout out;
  p.result = parseCommandLine(static_cast<int>(argv.size() - 1), argv.data(),
                              &p.settings);
  p.out = out.finish();
  testing::internal::GetCapturedStderr();
  return p;
}

}  // namespace

TEST(CommandLine, Defaults) {
  Parsed p = parse({});
  EXPECT_TRUE(p.result.run);
  EXPECT_EQ(p.settings.nbFiles, 100000u);
  EXPECT_EQ(p.settings.threads, 1u);
  EXPECT_FALSE(p.settings.workDir.has_value());
  EXPECT_EQ(p.settings.openFlags, O_WRONLY | O_CREAT | O_TRUNC | O_DIRECT);
  EXPECT_FALSE(p.settings.pause);
  EXPECT_FALSE(p.settings.dontDeleteFiles);
  EXPECT_EQ(p.out, "");
}

TEST(CommandLine, AcceptedCounts) {
  const struct {
    std::vector<std::string> args;
    uint64_t nbFiles;
    unsigned threads;
  } cases[] = {
      {{"-f", "0"}, 0, 1},
      {{"-f", "12x"}, 12, 1},
      {{"-f", "  7"}, 7, 1},
      {{"-f", "+5"}, 5, 1},
      {{"--nbFiles=18446744073709551615"}, UINT64_MAX, 1},
      {{"-t", "64"}, 100000, 64},
      {{"--threads", "1"}, 100000, 1},
      {{"-t4", "-f3"}, 3, 4},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args);
    EXPECT_TRUE(p.result.run) << c.args[0];
    EXPECT_EQ(p.settings.nbFiles, c.nbFiles) << c.args[0];
    EXPECT_EQ(p.settings.threads, c.threads) << c.args[0];
    EXPECT_EQ(p.out, "");
  }
}

TEST(CommandLine, RejectedCounts) {
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"-f", "abc"}, "'abc' is not a valid argument for '-f' option\n"},
      {{"-f", ""}, "'' is not a valid argument for '-f' option\n"},
      {{"-f", "-1"}, "'-1' is not a valid argument for '-f' option\n"},
      {{"-f", " -0"}, "' -0' is not a valid argument for '-f' option\n"},
      {{"-f", "18446744073709551616"},
       "'18446744073709551616' is not a valid argument for '-f' option\n"},
      {{"-t", "x"}, "'x' is not a valid argument for '-t' option\n"},
      {{"-t", "-3"}, "'-3' is not a valid argument for '-t' option\n"},
      {{"-t", "0"}, "Number of thread should be between 1 and 64\n"},
      {{"-t", "65"}, "Number of thread should be between 1 and 64\n"},
      {{"-t", "18446744073709551617"},
       "'18446744073709551617' is not a valid argument for '-t' option\n"},
      // Parsing stops at the first rejection.
      {{"-f", "x", "-t", "y"}, "'x' is not a valid argument for '-f' option\n"},
  };
  for (const auto& c : cases) {
    Parsed p = parse(c.args);
    EXPECT_FALSE(p.result.run) << c.args[1];
    EXPECT_EQ(p.result.exitStatus, 1) << c.args[1];
    EXPECT_EQ(p.out, c.message);
  }
}

TEST(CommandLine, Flags) {
  Parsed p = parse({"-D", "--pause", "--dontDeleteFiles", "-s", "--filesize",
                    "9", "-q", "operand", "--bogus"});
  EXPECT_TRUE(p.result.run);
  EXPECT_EQ(p.settings.openFlags, O_WRONLY | O_CREAT | O_TRUNC);
  EXPECT_TRUE(p.settings.pause);
  EXPECT_TRUE(p.settings.dontDeleteFiles);
  EXPECT_EQ(p.out, "");
  EXPECT_TRUE(parse({"-p"}).settings.pause);
  EXPECT_EQ(parse({"--no-direct-io"}).settings.openFlags & O_DIRECT, 0);
}

TEST(CommandLine, RepeatedDirWarnsAndLaterWins) {
  Parsed p = parse({"-d", "a", "--dir", "b", "-db"});
  EXPECT_TRUE(p.result.run);
  EXPECT_EQ(p.settings.workDir, "b");
  EXPECT_EQ(p.out,
            "Warning: using 'b' instead of 'a' as working directory\n"
            "Warning: using 'b' instead of 'b' as working directory\n");
  EXPECT_EQ(parse({"-d", ""}).settings.workDir, "");
}

TEST(CommandLine, HelpStopsParsing) {
  Parsed p = parse({"-h", "-f", "abc"});
  EXPECT_FALSE(p.result.run);
  EXPECT_EQ(p.result.exitStatus, 0);
  EXPECT_EQ(p.out.rfind("treeflood, version: V0.2.5\n", 0), 0u);
  EXPECT_EQ(p.out.find("not a valid"), std::string::npos);
  EXPECT_EQ(parse({"--help"}).out, p.out);
}

TEST(CommandLine, VersionStops) {
  for (const char* option : {"-V", "--version"}) {
    Parsed p = parse({option, "-f", "abc"});
    EXPECT_FALSE(p.result.run) << option;
    EXPECT_EQ(p.result.exitStatus, 0) << option;
    EXPECT_EQ(p.out, std::string("treeflood version: V0.2.5, build: ") +
                         kBuildDate + " " + kBuildTime + "\n");
  }
}

TEST(ProgramName, AfterLastSlash) {
  EXPECT_STREQ(programName("/usr/local/bin/treeflood"), "treeflood");
  EXPECT_STREQ(programName("./tf"), "tf");
  EXPECT_STREQ(programName("tf"), "tf");
  EXPECT_STREQ(programName("dir/"), "");
  EXPECT_STREQ(programName(nullptr), "treeflood");
}
