// The documentation and packaging that ship with the executable: the man
// page, the bash completion and the installed tree.
#include <ftw.h>
#include <getopt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <string>
#include <vector>

#include "driver/settings.h"
#include "test_util.h"

namespace {

const std::string kSource = TREEFLOOD_SOURCE_DIR;
const std::string kManPage = kSource + "/man/treeflood.1";
const std::string kCompletion = kSource + "/completions/treeflood.bash";

// In roff a "-" is written "\-".
std::string roff(const std::string& text) {
  std::string out;
  for (char c : text) out += c == '-' ? std::string("\\-") : std::string(1, c);
  return out;
}

// What the completion offers on the command line `words`, the last of which
// is the word being completed.
std::vector<std::string> complete(const std::vector<std::string>& words,
                                  const std::string& cwd) {
  std::string script = "source '" + kCompletion + "'; COMP_WORDS=(";
  for (const std::string& w : words) script += "'" + w + "' ";
  script += "); COMP_CWORD=" + std::to_string(words.size() - 1) +
            "; _treeflood; printf '%s\\n' \"${COMPREPLY[@]}\"";
  ProgramResult r = runProgram("/bin/bash", {"--norc", "-c", script}, {}, cwd);
  EXPECT_EQ(r.status, 0) << r.err;
  std::vector<std::string> offered;
  std::istringstream in(r.out);
  for (std::string line; std::getline(in, line);) {
    if (!line.empty()) offered.push_back(line);
  }
  std::sort(offered.begin(), offered.end());
  return offered;
}

}  // namespace

TEST(ManPage, FormatsWithoutWarnings) {
  if (access("/usr/bin/groff", X_OK) != 0) GTEST_SKIP() << "no groff";
  ProgramResult r =
      runProgram("/usr/bin/groff", {"-man", "-ww", "-z", kManPage});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err, "");
}

TEST(ManPageAndCompletion, NameEveryOption) {
  const std::string man = readFile(kManPage);
  size_t from = man.find(".SH OPTIONS\n");
  ASSERT_NE(from, std::string::npos);
  // The OPTIONS section, where each option heads an entry as
  // .BR \-d ", " \-\-dir ...
  const std::string section =
      man.substr(from, man.find(".SH ", from + 1) - from);
  std::vector<std::string> options;
  for (const struct option* o = kLongOptions; o->name != nullptr; ++o) {
    options.push_back(std::string("--") + o->name);
  }
  for (const char* c = kShortOptions; *c != '\0'; ++c) {
    if (*c != ':') options.push_back(std::string("-") + *c);
  }
  for (const std::string& option : options) {
    std::regex entry(
        "\\n\\.B[IR]? (.* )?" +
        std::regex_replace(roff(option), std::regex(R"(\\)"), R"(\\)") +
        "( |\\n)");
    EXPECT_TRUE(std::regex_search(section, entry)) << option;
  }
  std::sort(options.begin(), options.end());
  TempDir dir;
  EXPECT_EQ(complete({"treeflood", "-"}, dir.path()), options);
}

TEST(Completion, OffersOptionsAndDirectories) {
  TempDir dir;
  ASSERT_EQ(mkdir((dir.path() + "/scratch").c_str(), 0755), 0);
  writeFile(dir.path() + "/notes", "");
  EXPECT_EQ(complete({"treeflood", "--dont"}, dir.path()),
            std::vector<std::string>{"--dontDeleteFiles"});
  EXPECT_EQ(complete({"treeflood", "--n"}, dir.path()),
            (std::vector<std::string>{"--nbFiles", "--no-direct-io"}));
  EXPECT_EQ(complete({"treeflood", "-t", "4", "--dir", ""}, dir.path()),
            std::vector<std::string>{"scratch"});
  EXPECT_EQ(complete({"treeflood", "-f", ""}, dir.path()),
            std::vector<std::string>{});
}

TEST(Install, PutsExactlyThreeFiles) {
  TempDir prefix;
  ProgramResult r = runProgram(
      "/usr/bin/env",
      {"cmake", "--install", TREEFLOOD_BINARY_DIR, "--prefix", prefix.path()},
      {"PATH=/usr/local/bin:/usr/bin:/bin"});
  ASSERT_EQ(r.status, 0) << r.out << r.err;
  static std::vector<std::string> files;
  static size_t skip;
  files.clear();
  skip = prefix.path().size() + 1;
  nftw(
      prefix.path().c_str(),
      [](const char* p, const struct stat*, int type, struct FTW*) {
        if (type == FTW_F) files.push_back(std::string(p).substr(skip));
        return 0;
      },
      16, FTW_PHYS);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files,
            (std::vector<std::string>{
                "bin/treeflood", "share/bash-completion/completions/treeflood",
                "share/man/man1/treeflood.1"}));
  EXPECT_EQ(access((prefix.path() + "/bin/treeflood").c_str(), X_OK), 0);
}
