// End-to-end tests: the built executable, run in temporary directories.
#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <thread>

#include "console/texts.h"
#include "driver/layout.h"
#include "driver/settings.h"
#include "test_util.h"

namespace {

// Turns an expected output into a pattern: the text stands for itself except
// for these placeholders, for what truly varies from run to run.
std::string outputPattern(const std::string& expected) {
  static const struct {
    const char* name;
    const char* pattern;
  } kHoles[] = {
      {"{CLOCK}", R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"},
      {"{TIME}", R"(\d+:\d\d:\d\d\.\d{3})"},
      {"{N}", R"(\d+)"},
      {"{SIZE}", R"(\d+(\.\d+ [KMGT])? ?Bytes)"},
      // A phase's progress: live lines, each after an erase string, then
      // the erase string that ends the phase. Short phases show only that.
      {"{PROGRESS}", R"((\r {75}\r\rworking\.\.\. eta: [^\r\n]*)*\r {75}\r)"},
  };
  std::string pattern;
  for (size_t pos = 0; pos < expected.size();) {
    bool hole = false;
    for (const auto& h : kHoles) {
      if (expected.compare(pos, strlen(h.name), h.name) == 0) {
        pattern += h.pattern;
        pos += strlen(h.name);
        hole = true;
        break;
      }
    }
    if (hole) continue;
    char c = expected[pos++];
    if (strchr(R"(\^$.|?*+()[]{}/)", c) != nullptr) pattern += '\\';
    pattern += c;
  }
  return pattern;
}

void expectOutput(const std::string& out, const std::string& expected) {
  EXPECT_TRUE(std::regex_match(out, std::regex(outputPattern(expected))))
      << "output:\n"
      << out << "\nexpected:\n"
      << expected;
}

std::string banner(const std::string& first) {
  return first + "\nVersion: V0.2.5, build: " + kBuildDate + " " + kBuildTime +
         "\n\n";
}

// The output of a whole run of `n` files that keeps them or not.
std::string runOutput(const std::string& n, const std::string& threads,
                      bool keep, const std::string& sizes) {
  std::string text =
      banner("treeflood will create " + std::string(keep ? "" : "and delete ") +
             n + " files with " + threads) +
      "Creating " + n + " files, started at {CLOCK}...\n" + "{PROGRESS}" +
      "Done, time spent: {TIME}\n\n" +
      "Doing `ls -R`, started at {CLOCK}...\n"
      "Stat: ls (pid: {N}) status: ok, returned value: 0\n"
      "Cpu usage: user: {TIME}, system: {TIME}\n"
      "Max rss: {SIZE}, page fault: major: {N}, minor: {N}\n\n"
      "Compute size used by " +
      n + " files, started at {CLOCK}...\n{PROGRESS}" + sizes +
      "Done, time spent: {TIME}\n\n";
  if (!keep) {
    text += "Deleting " + n + " files, started at {CLOCK}...\n{PROGRESS}" +
            "Done, time spent: {TIME}\n";
  }
  return text;
}

const std::string kAnySizes =
    "Size used by files: {SIZE}\nSize used by directory: {SIZE}\n"
    "Size used (total): {SIZE}\n";

std::vector<std::string> entries(const std::string& dir) {
  ProgramResult ls = runProgram("/bin/ls", {"-A", dir});
  std::vector<std::string> names;
  std::istringstream in(ls.out);
  for (std::string name; std::getline(in, name);) names.push_back(name);
  return names;
}

std::string pathOf(uint64_t nbFiles, uint64_t index) {
  char buf[32];
  filePath(computeLayout(nbFiles), index, buf);
  return buf;
}

std::string sizeOf(int64_t blocks) {
  char text[64];
  sizeText(text, sizeof text, blocks * 512);
  return text;
}

}  // namespace

TEST(Executable, HelpText) {
  TempDir dir;
  ProgramResult r = runTreeflood({"--help"}, dir.path());
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out,
            "treeflood, version: V0.2.5\n"
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
            "   --version, -V : show version and exit\n");
  EXPECT_EQ(r.err, "");
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(Executable, VersionAndRejections) {
  TempDir dir;
  ProgramResult v = runTreeflood({"-V"}, dir.path());
  EXPECT_EQ(v.status, 0);
  expectOutput(v.out, "treeflood version: V0.2.5, build: " +
                          std::string(kBuildDate) + " " + kBuildTime + "\n");
  ProgramResult t = runTreeflood({"-t", "65"}, dir.path());
  EXPECT_EQ(t.status, 1);
  EXPECT_EQ(t.out, "Number of thread should be between 1 and 64\n");
  ProgramResult f = runTreeflood({"-f", "-1"}, dir.path());
  EXPECT_EQ(f.status, 1);
  EXPECT_EQ(f.out, "'-1' is not a valid argument for '-f' option\n");
  // Unknown options are reported by getopt_long on standard error alone.
  ProgramResult u = runTreeflood({"--bogus", "-h"}, dir.path());
  EXPECT_EQ(u.status, 0);
  EXPECT_NE(u.err.find("bogus"), std::string::npos);
  EXPECT_EQ(u.out.find("bogus"), std::string::npos);
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(Executable, WholeRunOneAndFourThreads) {
  for (const char* threads : {"1", "4"}) {
    TempDir dir;
    ProgramResult r = runTreeflood(
        {"-D", "-f", "3000", "-t", threads, "-d", dir.path()}, ".");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.err, "");
    expectOutput(r.out,
                 runOutput("3000", threads[0] == '1' ? "1 thread" : "4 threads",
                           false, kAnySizes));
    EXPECT_TRUE(entries(dir.path()).empty());
  }
}

TEST(Executable, WithDirectIo) {
  TempDir dir;
  int fd = open((dir.path() + "/probe").c_str(), O_WRONLY | O_CREAT | O_DIRECT,
                0644);
  if (fd < 0) GTEST_SKIP() << "this file system refuses direct I/O";
  close(fd);
  unlink((dir.path() + "/probe").c_str());
  ProgramResult r = runTreeflood({"-f", "500", "-t", "2"}, dir.path());
  EXPECT_EQ(r.status, 0);
  expectOutput(r.out, runOutput("500", "2 threads", false, kAnySizes));
}

TEST(Executable, NoFilesStillMakesListsAndRemovesTheDirectories) {
  TempDir dir;
  ProgramResult r = runTreeflood({"-f", "0", "-t", "3"}, dir.path());
  EXPECT_EQ(r.status, 0);
  expectOutput(r.out, runOutput("0", "3 threads", false,
                                "Size used by files: 0 Bytes\n"
                                "Size used by directory: {SIZE}\n"
                                "Size used (total): {SIZE}\n"));
  EXPECT_TRUE(entries(dir.path()).empty());
}

TEST(Executable, KeptTreeSizesAndReuse) {
  TempDir dir;
  const uint64_t n = 2100;  // 4 files a directory, 525 directories used
  ProgramResult r =
      runTreeflood({"-D", "-f", "2100", "--dontDeleteFiles"}, dir.path());
  EXPECT_EQ(r.status, 0);

  // The tree: exactly the 1024 directories and the 2100 files, each holding
  // 10240 zero bytes; sizes summed independently of the tool.
  std::vector<std::string> dirs = entries(dir.path());
  ASSERT_EQ(dirs.size(), 1024u);
  int64_t fileBlocks = 0, dirBlocks = 0;
  struct stat st;
  ASSERT_EQ(stat(dir.path().c_str(), &st), 0);
  dirBlocks += st.st_blocks;
  size_t files = 0;
  for (const std::string& d : dirs) {
    ASSERT_EQ(stat((dir.path() + "/" + d).c_str(), &st), 0);
    dirBlocks += st.st_blocks;
    for (const std::string& f : entries(dir.path() + "/" + d)) {
      std::string path = dir.path() + "/" + d + "/" + f;
      ASSERT_EQ(stat(path.c_str(), &st), 0);
      fileBlocks += st.st_blocks;
      ++files;
    }
  }
  EXPECT_EQ(files, n);
  for (uint64_t i = 0; i < n; i += 97) {
    EXPECT_EQ(readFile(dir.path() + "/" + pathOf(n, i)),
              std::string(10240, '\0'));
  }
  expectOutput(r.out,
               runOutput("2100", "1 thread", true,
                         "Size used by files: " + sizeOf(fileBlocks) +
                             "\nSize used by directory: " + sizeOf(dirBlocks) +
                             "\nSize used (total): " +
                             sizeOf(fileBlocks + dirBlocks) + "\n"));

  // A second run reuses the tree and truncates every file before writing.
  writeFile(dir.path() + "/" + pathOf(n, 5), std::string(30000, 'x'));
  ProgramResult again =
      runTreeflood({"-D", "-f", "2100", "--dontDeleteFiles"}, dir.path());
  EXPECT_EQ(again.status, 0);
  EXPECT_EQ(readFile(dir.path() + "/" + pathOf(n, 5)),
            std::string(10240, '\0'));
  EXPECT_EQ(entries(dir.path()).size(), 1024u);
}

TEST(Executable, WorkingDirectory) {
  TempDir dir;
  ProgramResult missing =
      runTreeflood({"-d", dir.path() + "/missing"}, dir.path());
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.out, "Filed to change working directory (" + dir.path() +
                             "/missing) because 'No such file or directory'\n");
  EXPECT_TRUE(entries(dir.path()).empty());

  ASSERT_EQ(mkdir((dir.path() + "/b").c_str(), 0755), 0);
  ProgramResult twice = runTreeflood(
      {"-D", "-f", "10", "--dontDeleteFiles", "-d", "a", "-d", "b"},
      dir.path());
  EXPECT_EQ(twice.status, 0);
  EXPECT_EQ(
      twice.out.rfind("Warning: using 'b' instead of 'a' as working directory\n"
                      "treeflood will create 10 files with 1 thread\n",
                      0),
      0u);
  EXPECT_EQ(entries(dir.path() + "/b").size(), 1024u);
}

TEST(Executable, ListingWithoutLsOrWithAFailingOne) {
  TempDir dir;
  const std::string bin = dir.path() + "/bin";
  ASSERT_EQ(mkdir(bin.c_str(), 0755), 0);
  const std::string work = dir.path() + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  const struct {
    const char* script;  // the fake ls, or null for none
    const char* path;    // PATH, with $BIN for the fake's directory
    const char* report;
  } cases[] = {
      {nullptr, "$BIN", "Command not found 'ls'\n"},
      {nullptr, "::$BIN:", "Command not found 'ls'\n"},
      {"exit 7", "::$BIN",
       "Stat: ls (pid: {N}) status: ok, returned value: 7\n"
       "Cpu usage: user: {TIME}, system: {TIME}\n"
       "Max rss: {SIZE}, page fault: major: {N}, minor: {N}\n\n"},
      {"kill -KILL $$", "$BIN",
       "Stat: ls (pid: {N}) status: kill by signal, signal: 9\n"
       "Cpu usage: user: {TIME}, system: {TIME}\n"
       "Max rss: {SIZE}, page fault: major: {N}, minor: {N}\n\n"},
  };
  for (const auto& c : cases) {
    unlink((bin + "/ls").c_str());
    if (c.script != nullptr) {
      writeFile(bin + "/ls", std::string("#!/bin/sh\n") + c.script + "\n",
                0755);
    }
    std::string path = std::regex_replace(c.path, std::regex("\\$BIN"), bin);
    ProgramResult r = runTreeflood({"-D", "-f", "5"}, work, {"PATH=" + path});
    EXPECT_EQ(r.status, 0) << c.path;
    std::string expected = runOutput("5", "1 thread", false, kAnySizes);
    size_t from = expected.find("Stat: ");
    size_t to = expected.find("Compute size");
    expected.replace(from, to - from, c.report);
    expectOutput(r.out, expected);
    EXPECT_TRUE(entries(work).empty());
  }
}

TEST(Executable, PauseStopsBeforeDeleting) {
  TempDir dir;
  const std::string outPath = dir.path() + "/out";
  const std::string work = dir.path() + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  pid_t pid = fork();
  if (pid == 0) {
    int fd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    execl(TREEFLOOD_EXE, "treeflood", "-D", "-f", "50", "-p", "-d",
          work.c_str(), static_cast<char*>(nullptr));
    _exit(127);
  }
  // Wait for the stop, as /proc shows it.
  std::string state;
  int status = 0;
  for (int i = 0; i < 3000 && state != "T"; ++i) {
    ASSERT_EQ(waitpid(pid, &status, WNOHANG), 0) << "ended without a pause";
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    size_t paren = line.rfind(')');
    state = paren == std::string::npos ? "" : line.substr(paren + 2, 1);
    if (state != "T")
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(state, "T");
  std::string before = readFile(outPath);
  EXPECT_EQ(before.find("Deleting"), std::string::npos);
  EXPECT_EQ(entries(work).size(), 1024u);

  kill(pid, SIGCONT);
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  expectOutput(readFile(outPath),
               runOutput("50", "1 thread", false, kAnySizes));
  EXPECT_TRUE(entries(work).empty());
}

TEST(Executable, FileInPlaceOfADirectory) {
  TempDir dir;
  // 8192 files: 8 a directory, so d_005 would hold numbers 40 to 47.
  writeFile(dir.path() + "/d_005", "in the way");
  ProgramResult r = runTreeflood(
      {"-D", "-f", "8192", "-t", "4", "--json", dir.path() + "/r.json"},
      dir.path());
  EXPECT_EQ(r.status, 1);
  const std::string sizes =
      "Warning: 8 of 8192 files could not be measured (first: "
      "stat(d_005/f_0): Not a directory)\n" +
      kAnySizes;
  std::string expected = runOutput("8192", "4 threads", false, sizes);
  expected.insert(expected.find("Done, time spent"),
                  "Warning: 8 of 8192 files could not be created (first: "
                  "open(d_005/f_0): Not a directory)\n");
  expected.insert(expected.rfind("Done, time spent"),
                  "Warning: 8 of 8192 files could not be deleted (first: "
                  "unlink(d_005/f_0): Not a directory)\n");
  expectOutput(r.out, expected);
  EXPECT_EQ(readFile(dir.path() + "/d_005"), "in the way");

  auto doc = nlohmann::json::parse(readFile(dir.path() + "/r.json"));
  EXPECT_EQ(doc["valid"], false);
  const auto& create = doc["phases"]["create"];
  EXPECT_EQ(create["files_done"], 8184);
  EXPECT_EQ(create["files_failed"], 8);
  EXPECT_EQ(create["first_failure"]["path"], "d_005/f_0");
  EXPECT_EQ(create["first_failure"]["errno"], ENOTDIR);
  // The rate counts the files that were made, not those that failed.
  EXPECT_DOUBLE_EQ(create["files_per_second"].get<double>(),
                   8184 / create["wall_seconds"].get<double>());
  unlink((dir.path() + "/r.json").c_str());
  EXPECT_EQ(entries(dir.path()), std::vector<std::string>{"d_005"});
}

TEST(Executable, FullFileSystem) {
  TempDir dir;
  const std::string mnt = dir.path() + "/small";
  ASSERT_EQ(mkdir(mnt.c_str(), 0755), 0);
  if (mount("tmpfs", mnt.c_str(), "tmpfs", 0, "size=1m") != 0) {
    GTEST_SKIP() << "can't mount a tmpfs here: " << strerror(errno);
  }
  ProgramResult r = runTreeflood({"-D", "-f", "300"}, mnt);
  umount(mnt.c_str());
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(std::regex_search(
      r.out, std::regex(R"(Warning: \d+ of 300 files could not be created )"
                        R"(\(first: (open|write)\(d_\w+/f_0\): (No space )"
                        R"(left on device|short write)\)\n)")))
      << r.out;
  // Every phase still ran, the clean-up included.
  EXPECT_NE(r.out.find("Deleting 300 files"), std::string::npos);
}

TEST(Executable, SummaryAndJson) {
  TempDir dir;
  const std::string work = dir.path() + "/work";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  // A relative path names a file where treeflood was started.
  ProgramResult r = runTreeflood({"-D", "-f", "500", "-t", "2", "--summary",
                                  "--json", "results.json", "-d", "work"},
                                 dir.path());
  EXPECT_EQ(r.status, 0);
  const std::string row = R"(  +500  +0  +\d+\.\d{3}  +\d+(  +\d+\.\d){6}\n)";
  std::string pattern =
      outputPattern(runOutput("500", "2 threads", false, kAnySizes) + "\n") +
      R"(phase   files  failed  seconds  +files/s  +min us  +p50 us  +p90 us)"
      R"(  +p99 us  +p99\.9 us  +max us\n)"
      "create" +
      row + "size  " + row + "delete" + row;
  EXPECT_TRUE(std::regex_match(r.out, std::regex(pattern))) << r.out;

  auto doc = nlohmann::json::parse(readFile(dir.path() + "/results.json"));
  EXPECT_EQ(doc["format_version"], 1);
  EXPECT_EQ(doc["settings"]["files"], 500);
  EXPECT_EQ(doc["settings"]["working_directory"], work);
  EXPECT_EQ(doc["settings"]["direct_io"], false);
  EXPECT_EQ(doc["command_line"].size(), 11u);
  for (const char* phase : {"create", "size", "delete"}) {
    const auto& p = doc["phases"][phase];
    EXPECT_EQ(p["files_done"], 500) << phase;
    EXPECT_TRUE(p["first_failure"].is_null()) << phase;
    EXPECT_GT(p["latency_us"]["min"].get<double>(), 0) << phase;
    EXPECT_LE(p["latency_us"]["p50"].get<double>(),
              p["latency_us"]["p99"].get<double>())
        << phase;
  }
  EXPECT_EQ(doc["listing"]["exit_status"], 0);
  EXPECT_NE(doc["system"]["file_system"], "");
  EXPECT_GT(doc["system"]["block_size"], 0);
  EXPECT_EQ(doc["valid"], true);
  EXPECT_TRUE(entries(work).empty());
}

TEST(Executable, JsonFileThatCannotBeWritten) {
  TempDir dir;
  ProgramResult r = runTreeflood(
      {"-D", "-f", "10", "--json", dir.path() + "/missing/r.json"}, dir.path());
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.out.find("Failed to write the results to '" + dir.path() +
                       "/missing/r.json': No such file or directory\n"),
            std::string::npos);
}
