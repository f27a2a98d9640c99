// What ships beside the executable: the man page and the bash completion.
// (CI checks what the package installs.)
#include <getopt.h>

#include "driver/settings.h"
#include "test_util.h"

namespace treeflood {

namespace {

const std::string kSource = TREEFLOOD_SOURCE_DIR;

// What the completion offers for the words, the last of which is being
// completed, sorted, a line each.
std::string complete(const std::string& words, const std::string& cwd) {
  return bash("source " + kSource + "/completions/treeflood.bash; " +
                  "COMP_WORDS=(treeflood " + words + "); " +
                  "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _treeflood; " +
                  "printf '%s\\n' \"${COMPREPLY[@]}\" | sort",
              cwd);
}

}  // namespace

TEST(Shipped, ManPageCompletionReadmeAndHelpNameEveryOption) {
  const std::string manPage = TREEFLOOD_BINARY_DIR "/treeflood.1";
  EXPECT_EQ(bash("groff -man -ww -z " + manPage + " 2>&1"), "");
  std::string man = readFile(manPage);
  man = man.substr(man.find(".SH OPTIONS\n"));
  man = man.substr(0, man.find("\n.SH "));
  std::vector<std::string> options = optionNames();
  std::sort(options.begin(), options.end());
  std::string offered;
  const std::string readme = readFile(kSource + "/README.md");
  const std::string help = runTreeflood({"-h"}, ".").out;
  for (const std::string& option : options) {
    EXPECT_MATCH(readme, "*`" + option + "[` ]*");
    EXPECT_MATCH(help, "* " + option + "[ ,]*");
    // Each heads an entry (.B or .BR), with "-" written "\-" as roff has it.
    std::string roff;
    for (char c : option) roff += c == '-' ? "\\\\-" : std::string(1, c);
    EXPECT_MATCH(man, "*\n.B[ R]*[ \"]" + roff + "[ \n]*");
    offered += option + "\n";
  }
  // The added options' defaults, each on a line of its entry.
  const std::pair<std::string, std::string> defaults[] = {
      {"--iterations", "1"}, {"--stall-timeout", "120"},
      {"--threshold", "5"},  {"--fsync", "none"},
      {"--dirs", "1024"},    {"--order", "sequential"},
      {"--data", "zeros"}};
  for (const auto& [option, value] : defaults) {
    const size_t start = help.find("\n   " + option) + 1;
    const std::string text =
        help.substr(start, help.find("\n   -", start) - start);
    EXPECT_MATCH(text, "*\n *default value : " + value) << option;
  }
  TempDir dir;
  EXPECT_EQ(complete("-", dir.path), offered);
  bash("mkdir 'beta dir' && touch 'beta notes'", dir.path);
  EXPECT_EQ(complete("-t 4 --dir beta", dir.path), "beta dir\n");
}

}  // namespace treeflood
