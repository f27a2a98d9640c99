// End-to-end tests: the built executable, run in temporary directories.
#include <sys/mount.h>

#include <atomic>
#include <functional>
#include <nlohmann/json.hpp>
#include <thread>

#include "driver/settings.h"
#include "only_its_own.h"

namespace treeflood {

namespace {

// The whole output of a run of `n` files; '*' stands for what varies.
std::string runOutput(const std::string& n, const std::string& threads) {
  return "treeflood will create and delete " + n + " files with " + threads +
         "\nVersion: " + kVersion + ", build: " + kBuildDate + " " +
         kBuildTime + "\n\nCreating " + n +
         " files, started at *...\n*Done, time spent: *\n\n"
         "Doing `ls -R`, started at *...\n"
         "Stat: ls (pid: *) status: ok, returned value: 0\n"
         "Cpu usage: user: *, system: *\n"
         "Max rss: *Bytes, page fault: major: *, minor: *\n\n"
         "Compute size used by " +
         n +
         " files, started at *...\n*Size used by files: *\nSize used by "
         "directory: *\nSize used (total): *\nDone, time spent: *\n\n"
         "Deleting " +
         n + " files, started at *...\n*Done, time spent: *\n";
}

// The blocks of the files and of the directories of a kept tree in `work`,
// which must hold 1024 directories and 2100 files of 10240 zeros each.
std::pair<int64_t, int64_t> treeBlocks(const std::string& work) {
  EXPECT_EQ(bash("find . -type f ! -size 10240c; find . -type f -exec cat {} + "
                 "| tr -d '\\0'; find . -type f | wc -l; find . | wc -l",
                 work),
            "2100\n3125\n");
  std::istringstream sums(bash(
      "find . -printf '%y %b\\n' | awk '{s[$1] += $2} END {print s[\"f\"], "
      "s[\"d\"]}'",
      work));
  std::pair<int64_t, int64_t> blocks;
  sums >> blocks.first >> blocks.second;
  return blocks;
}

// Waits until `done()` holds, for up to 30 s.
bool waitFor(const std::function<bool()>& done) {
  for (int i = 0; i < 3000 && !done(); ++i) usleep(10000);
  return done();
}

}  // namespace

TEST(Executable, Runs) {
  const struct {
    std::vector<std::string> args;
    int status;
    std::string output;  // a pattern; empty when all is said on stderr
    std::string setup = "", path = "";  // a shell command; PATH if not ours
  } cases[] = {
      {words("-D -f 3000"), 0, runOutput("3000", "1 thread")},
      {words("-f 0 -t 3"), 0, runOutput("0", "3 threads")},
      // A file's block lost between its create and its read, by ls.
      {words("-D -f 3000 --read --data random"), 1,
       "*\nReading 3000 files, started at *...\n*Warning: 1 of 3000 files "
       "differ from what was written (first: d_001/f_3: bytes 4096 to 8191 "
       "read as zeros)\nDone, time spent: *\n\nDeleting *",
       "printf '#!/bin/sh\nfallocate -p -o 4096 -l 4096 d_001/f_3; exec ls "
       "\"$@\"' > bin/ls && chmod +x bin/ls",
       "PATH=::bin"},
      // d_006, a link to a directory outside, would hold files 12 and 13.
      {words("-D -f 2048 -t 4"), 1,
       "*\nWarning: 1 of 1024 directories could not be made (first: "
       "open(d_006): Not a directory)\n*Warning: 2 of 2048 files could not be "
       "created (first: open(d_006/f_0): Not a directory)\n*Warning: 2 of "
       "2048 files could not be deleted (first: unlink(d_006/f_0): Not a "
       "directory)\n*",
       "ln -s ../out work/d_006"},
      {words("-D -f 5"), 1, "*\nCommand not found 'ls'\n*", "",
       "PATH=/nonexistent"},
      // Relative PATH entries are taken from where the run started.
      {words("-D -f 5"), 1,
       "*\nStat: ls (pid: *) status: ok, returned value: 7\n*",
       "printf '#!/bin/sh\\nexit 7' > bin/ls && chmod +x bin/ls", "PATH=::bin"},
      // ls, asked to end by a stop, repeats it: the repeats are ignored.
      {words("-D -f 5"), 143,
       "*returned value: 3\n*Interrupted by SIGTERM in the listing phase after "
       "5 of 5 files\n",
       "cat > bin/ls <<'E'\n#!/bin/sh\ntf=$(ps -o ppid= -p $PPID | tr -d ' ')\n"
       "[ \"$(cat /proc/$tf/comm)\" = treeflood ] || tf=$PPID\nsleep 60 & "
       "s=$!\ntrap 'kill $s; kill -TERM $tf; kill -HUP $tf; exit 3' TERM\n"
       "kill -TERM $tf\nwait\nE\nchmod +x bin/ls",
       "PATH=::bin"},
      // Refused before anything is made.
      {words("-f 10 -d"), 1, ""},
      {words("--batch 4"), 1, "--batch works with treeflood-mpi only\n"},
      // No output file may block, be lost to another or be found too late.
      {words("--json fifo"), 1,
       "Can't write the results to '*/fifo': not a regular file\n",
       "mkfifo fifo"},
      {words("--csv fifo"), 1, "Failed to open '*/fifo': not a regular file\n",
       "mkfifo fifo"},
      {words("--csv old.csv"), 1,
       "Failed to open '*/old.csv': its columns are not this version's: "
       "start a new file\n",
       "echo timestamp,hostname > old.csv"},
      // A baseline that can't be compared with.
      {words("--compare none.json"), 1,
       "Can't compare with 'none.json': No such file or directory\n"},
      {words("-f 10 --compare b.json"), 1,
       "Can't compare with 'b.json': the workloads differ in files: 9 in the "
       "baseline, 10 here\n*'b.json': the baseline has no create phase, the "
       "other has\n*",
       "echo '{\"format_version\": 2, \"settings\": {\"files\": 9}, "
       "\"valid\": true, \"iterations\": [{}]}' > b.json"},
      {words("--compare b.json"), 1,
       "Can't compare with 'b.json': it has no finished iteration "
       "(interrupted by SIGINT)\n",
       "echo '{\"format_version\": 3, \"settings\": {}, \"iterations\": [], "
       "\"interrupted\": {\"signal\": \"SIGINT\"}}' > b.json"},
      {words("--compare b.json"), 1,
       "Can't compare with 'b.json': nested deeper than 64 levels\n",
       "printf '%.0s[' $(seq 100000) > b.json"},
      {words("--compare b.json"), 1,
       "Can't compare with 'b.json': larger than 64 MiB\n",
       "truncate -s 65M b.json"},
      {words("--json r --csv ./r"), 1,
       "'*/r' can't be both the --json and the --csv file\n"},
      {words("--json out/../nodir/r"), 1,
       "Can't write the results to '*/nodir/r': No such file or directory\n"},
  };
  for (const auto& c : cases) {
    TempDir top;
    bash("mkdir work out bin && echo outside | tee out/file > out/linked; " +
             c.setup,
         top.path);
    std::vector<std::string> args = {"-d", "work"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProgramResult r = runTreeflood(args, top.path, {c.path});
    EXPECT_EQ(r.status, c.status) << c.args[0] << c.args.back();
    EXPECT_MATCH(r.out, c.output);
    EXPECT_EQ(r.err.empty(), !c.output.empty()) << r.err;
    EXPECT_EQ(bash("cat out/*", top.path), "outside\noutside\n");
    // A refused run makes nothing, and a stopped one leaves nothing.
    if (r.out.find("treeflood will") == std::string::npos || r.status > 128) {
      EXPECT_EQ(entryCount(top.path + "/work"), 0) << c.args[0];
    }
  }
}

TEST(Executable, TimeLimitBoundsTheCreatePhaseAndItsTimeline) {
  // A random order (a draw of all the numbers, which later phases visit in
  // orders of their own), 64 threads on one counter, the most directories
  // (the open files' limit raised): each file once, at any speed.
  for (const std::vector<std::string>& more :
       {words("--dirs 1024"), words("--order random --read --dirs 2 -t 64"),
        words("--dirs 8192")}) {
    TempDir dir;
    bash("mkdir w", dir.path);
    std::vector<std::string> args = words(
        "-D -s 0 -f 10000000 -t 2 --dontDeleteFiles --json r -d w --time-limit "
        "0.5");
    args.insert(args.end(), more.begin(), more.end());
    ProgramResult r = runTreeflood(args, dir.path);
    // Refused, before anything is made, where the limit can't be raised.
    if (r.status == 1 && matches(r.out, "*need * open files*")) {
      EXPECT_EQ(entryCount(dir.path + "/w"), 0);
      continue;
    }
    // The later phases handle exactly the files that were made, without a
    // failure, and these fill the directories in turn.
    EXPECT_EQ(r.status, 0) << r.out;
    const size_t at = r.out.find("Stopped by the time limit after ") + 32;
    const std::string n = r.out.substr(at, r.out.find(' ', at) - at);
    EXPECT_MATCH(r.out, "*\nCompute size used by " + n + " files*");
    const unsigned long long dirs =
        std::stoull(std::find(more.begin(), more.end(), "--dirs")[1]);
    EXPECT_EQ(
        bash("find w -type f | wc -l; find w -mindepth 1 -type d -empty | "
             "wc -l",
             dir.path),
        n + "\n" + std::to_string(dirs - std::min(dirs, std::stoull(n))) +
            "\n");
    // Sampled as it went: times rise, files never fall, nor pass those made.
    auto create = nlohmann::json::parse(
        readFile(dir.path + "/r"))["iterations"][0]["phases"]["create"];
    const auto& timeline = create["timeline"];
    for (size_t i = 1; i < timeline.size(); ++i) {
      EXPECT_LT(timeline[i - 1][0], timeline[i][0]);
      EXPECT_LE(timeline[i - 1][1], timeline[i][1]);
    }
    if (!timeline.empty()) {
      EXPECT_LE(timeline.back()[1], create["files_done"]);
    }
    // --json alone times every file too.
    EXPECT_EQ(create["latency_us"]["max"] > 0, n != "0") << create;
  }
}

TEST(Executable, ExitStatusIsTheWorstOfEveryIteration) {
  // ls's second call ends the run: the first iteration's figures are
  // written. Or the first iteration alone fails: ls's status, or the CSV's
  // append, through a file-size limit that ls sets on treeflood ($tf).
  const struct {
    const char* script;
    int status;
    const char* csvIterations;  // sorted, as the rows give them
    std::string interrupted;    // in the JSON
  } cases[] = {
      {"test -e called && exit 0; touch called; exit 2", 1,
       "1\n2\n3\niteration\n", "null"},
      {"test -e called && exec prlimit --pid $tf --fsize=unlimited:; "
       "touch called; prlimit --pid $tf --fsize=0:",
       1, "2\n3\niteration\n", "null"},
      {"test -e called && kill -TERM $tf; touch called", 143, "1\niteration\n",
       R"({"iteration":2,"signal":"SIGTERM"})"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    bash(
        "mkdir w bin && printf '#!/bin/sh\\ncd ..; tf=$(cut -d\" \" -f4 "
        "/proc/$PPID/stat); %s\\n' '" +
            std::string(c.script) + "' > bin/ls && chmod +x bin/ls",
        dir.path);
    ProgramResult r = runTreeflood(
        words("-D -s 0 -f 200 -i 3 --csv r.csv --json r.json --summary -d w"),
        dir.path, {"PATH=" + dir.path + "/bin:/usr/bin:/bin"});
    EXPECT_EQ(r.status, c.status) << c.script << r.out;
    EXPECT_EQ(bash("cut -d, -f10 r.csv | sort -u", dir.path), c.csvIterations);
    auto doc = nlohmann::json::parse(readFile(dir.path + "/r.json"));
    EXPECT_EQ(doc["interrupted"].dump(), c.interrupted);
    EXPECT_EQ(entryCount(dir.path + "/w"), 0);
    if (c.status != 143) continue;
    EXPECT_EQ(doc["valid"], false);
    EXPECT_EQ(doc["iterations"].size(), 1u);
    EXPECT_MATCH(r.out,
                 "*\ncreate    200       0 *\nInterrupted: these are "
                 "the figures of the 1 iteration that finished\n*"
                 "Interrupted by SIGTERM in the listing phase after 200 "
                 "of 200 files\n");
  }
}

TEST(Executable, IterationsAgreeInSummaryJsonAndCsvAndTheLastKeepsItsTree) {
  TempDir dir;
  // Not UTF-8, which the JSON must survive.
  const std::string work = dir.path + "/caf\xe9";
  ASSERT_EQ(mkdir(work.c_str(), 0755), 0);
  bash("mkdir v", dir.path);
  // Relative --json and --csv name files where treeflood was started.
  ProgramResult r = runTreeflood(
      {"-D", "-f", "2100", "-t", "2", "-i", "3", "--dontDeleteFiles",
       "--summary", "--json", "r.json", "--csv", "r.csv", "-d", work, "--label",
       "a \"b\", c", "--no-progress"},
      dir.path);
  EXPECT_EQ(r.status, 0);
  EXPECT_MATCH(r.out,
               "treeflood will create 2100 files with 2 threads, 3 "
               "times\n*");
  // Messages alone: no live line, no erase sequence.
  EXPECT_EQ(r.out.find_first_of("\r\x1b"), std::string::npos);
  // A second run appends its rows, without a second header.
  runTreeflood(words("-D -f 10 --csv r.csv -d v"), dir.path);
  auto doc = nlohmann::json::parse(readFile(dir.path + "/r.json"));
  // The first run's 4 + 4 + 3 rows (the last keeps its files), each with its
  // iteration's files and rate, then the other run's 4.
  std::istringstream csv(readFile(dir.path + "/r.csv"));
  std::string line;
  std::getline(csv, line);
  size_t rows = 0;
  for (; std::getline(csv, line); ++rows) {
    std::vector<std::string> f;
    std::istringstream fields(line);
    for (std::string cell; std::getline(fields, cell, ',');) f.push_back(cell);
    if (rows >= 11) continue;
    EXPECT_MATCH(line,
                 "*,\"a \"\"b\"\", c\",none,1024,sequential,,1,2,zeros,*");
    if (f[10] == "list") continue;
    const auto& phase =
        doc["iterations"][std::stoul(f[9]) - 1]["phases"][f[10]];
    EXPECT_EQ(f[11], phase["files_done"].dump()) << line;
    EXPECT_NEAR(std::stod(f[14]), phase["files_per_second"].get<double>(),
                0.002);
    EXPECT_NEAR(std::stod(f[20]), phase["file_files_per_second"].get<double>(),
                0.002);
  }
  EXPECT_EQ(rows, 15u);
  EXPECT_EQ(doc["label"], "a \"b\", c");
  // The summary's row: phase, files, failed, wall and file work seconds,
  // then the JSON's mean, min, max and stddev of the file work's files/s.
  for (const char* phase : {"create", "list", "size", "delete"}) {
    std::istringstream row(
        r.out.substr(r.out.find(std::string("\n") + phase + " ")));
    std::string cell;
    row >> cell >> cell >> cell >> cell >> cell;
    for (const char* key : {"mean", "min", "max", "stddev"}) {
      row >> cell;
      EXPECT_NEAR(
          std::stod(cell),
          doc["summary"][phase]["file_files_per_second"][key].get<double>(),
          0.51)
          << phase << key;
    }
  }
  // Where an iteration's create phase did under a second of file work, the
  // shortest such time is said, and kept.
  double shortest = 1e9;
  for (const auto& it : doc["iterations"]) {
    shortest = std::min(shortest,
                        it["phases"]["create"]["file_seconds"].get<double>());
  }
  char warning[96];
  snprintf(warning, sizeof warning,
           "create: %.3f s of file work, too short to compare: raise -f",
           shortest);
  EXPECT_EQ(r.out.find(std::string("\nWarning: ") + warning + "\n") !=
                std::string::npos,
            shortest < 1)
      << r.out;
  EXPECT_EQ(doc["warnings"].dump().find(warning) != std::string::npos,
            shortest < 1);
  // The kept tree is the sizes the last iteration reported.
  const std::pair<int64_t, int64_t> blocks = treeBlocks(work);
  const auto& sizes = doc["iterations"][2]["sizes"];
  EXPECT_EQ(sizes["files_bytes"], blocks.first * 512);
  EXPECT_EQ(sizes["directories_bytes"], blocks.second * 512);
  EXPECT_EQ(doc["settings"]["working_directory"], dir.path + "/caf\uFFFD");
  EXPECT_EQ(doc["system"]["cpu_model"].get<std::string>() + "\n",
            bash("printf '%s\\n' \"$(sed -n '/^model name/{s/[^:]*: *//p;q}' "
                 "/proc/cpuinfo)\""));
  // A second run reuses the tree, truncating what it finds before writing;
  // with descriptor 1 closed, none of its messages may land in a file.
  bash("head -c 30000 /dev/urandom > d_002/f_1", work);
  ProgramOptions o{.env = {"PATH=/bin"}, .cwd = work, .closeStdout = true};
  EXPECT_EQ(
      reap(spawn(TREEFLOOD_EXE, words("-D -f 2100 --dontDeleteFiles"), o)), 0);
  EXPECT_EQ(treeBlocks(work), blocks);
}

TEST(Executable, ComparesWithABaselineLiveOrStored) {
  TempDir dir;
  bash("mkdir w", dir.path);
  const std::vector<std::string> run = words("-D -s 0 -f 500 -d w --json");
  auto withRun = [&](std::vector<std::string> more) {
    more.insert(more.begin(), run.begin(), run.end());
    return runTreeflood(more, dir.path);
  };
  ASSERT_EQ(withRun({"r.json", "-i", "3"}).status, 0);
  const auto real = nlohmann::json::parse(readFile(dir.path + "/r.json"));
  // The real result with its first `n` iterations' rates steadied (within
  // 2% of the first's) and multiplied by `scale`, written to `name`: the
  // verdicts then depend on the scale alone, not on the machine's noise.
  auto edited = [&](const char* name, double scale, size_t n) {
    auto doc = real;
    doc["iterations"].erase(doc["iterations"].begin() + static_cast<long>(n),
                            doc["iterations"].end());
    for (size_t i = 0; i < n; ++i) {
      auto& it = doc["iterations"][i];
      const double steady = (1 + 0.02 * static_cast<double>(i)) / scale;
      for (const char* path :
           {"/phases/create/file_seconds", "/phases/size/file_seconds",
            "/phases/delete/file_seconds", "/listing/wall_seconds"}) {
        const nlohmann::json::json_pointer at(path);
        it[at] = real["iterations"][0][at].get<double>() * steady;
      }
    }
    std::ofstream(dir.path + "/" + name) << doc.dump();
  };
  // Every phase read from the results and compared: 10% slower with little
  // noise is a regression.
  edited("base.json", 1 / 0.9, 3);
  edited("now.json", 1, 3);
  ProgramResult r =
      runTreeflood(words("--compare base.json --stored now.json"), dir.path);
  EXPECT_EQ(r.status, 2) << r.out;
  // A stored result that failed is refused, as a baseline would be.
  bash("sed 's/\"valid\": *true/\"valid\":false/g' now.json > bad.json",
       dir.path);
  EXPECT_EQ(
      runTreeflood(words("--compare base.json --stored bad.json"), dir.path)
          .out,
      "Can't compare 'bad.json': it is not valid (see its warnings)\n");
  for (const char* phase : {"create", "list", "size", "delete"})
    EXPECT_MATCH(r.out, std::string("*\n") + phase + " * slower\n*");
  // A run that compares itself says what the stored comparison of its result
  // says, writes everything first and still ends with status 2.
  edited("base.json", 1000, 1);
  ProgramResult live =
      withRun({"live.json", "--compare", "base.json", "--csv", "l.csv"});
  EXPECT_EQ(live.status, 2) << live.out;
  ProgramResult stored = runTreeflood(
      {"--compare", "base.json", "--stored", "live.json"}, dir.path);
  EXPECT_EQ(stored.status, 2);
  EXPECT_NE(live.out.find(stored.out.substr(0, stored.out.find("Warning"))),
            std::string::npos)
      << live.out << stored.out;
  auto doc = nlohmann::json::parse(readFile(dir.path + "/live.json"));
  EXPECT_EQ(doc["comparison"]["phases"]["delete"]["verdict"],
            "slower (one iteration)");
  EXPECT_EQ(bash("wc -l < l.csv", dir.path), "5\n");
  // Side by side, in turns A B B A, one comparison of B with A, which a
  // stored reading repeats; a threshold of 100% can't call noise slower.
  bash("mkdir v", dir.path);
  ProgramResult both =
      withRun({"s.json", "--against", "v", "-i", "2", "--threshold", "100",
               "--csv", "s.csv", "--order", "random"});
  EXPECT_EQ(both.status, 0) << both.out;
  doc = nlohmann::json::parse(readFile(dir.path + "/s.json"));
  EXPECT_EQ(doc["sides"]["A"]["settings"]["seed"],
            doc["sides"]["B"]["settings"]["seed"]);
  const std::string a = dir.path + "/w\n", b = dir.path + "/v\n";
  EXPECT_MATCH(both.out, "*\nIteration 1 of 2, A: " + a +
                             "*\nIteration 1 of 2, B: " + b +
                             "*\nIteration 2 of 2, B: " + b +
                             "*\nIteration 2 of 2, A: " + a + "*");
  stored = runTreeflood(words("--stored s.json --threshold 100"), dir.path);
  EXPECT_EQ(stored.status, 0);
  EXPECT_MATCH(stored.out, "B (" + dir.path + "/v) compared with A (" +
                               dir.path + "/w): *\nphase * A * B *");
  EXPECT_NE(both.out.find(stored.out), std::string::npos) << stored.out;
  EXPECT_EQ(bash("awk -F, '{print $NF}' s.csv | uniq -c | tr -s ' \\n' ' '",
                 dir.path),
            " 1 side 4 A 8 B 4 A ");
  EXPECT_EQ(
      withRun({"x.json", "--against", "w", "-i", "2"}).out,
      "--against names the working directory itself (" + dir.path + "/w)\n");
  // A side in the other's tree is refused, and leaves no CSV file.
  bash("mkdir w/d_001", dir.path);
  EXPECT_EQ(withRun(words("x.json --against w/d_001 -i 2 --csv n.csv")).out,
            dir.path + "/w/d_001 lies in the tree of " + dir.path +
                "/w, whose delete phase would remove it\n");
  EXPECT_EQ(bash("rmdir w/d_001; ls n.csv 2>&1 >/dev/null | wc -l", dir.path),
            "1\n");
  EXPECT_EQ(withRun({"x.json", "--compare", "s.json"}).out,
            "Can't compare with 's.json': it holds the two sides of a run "
            "with --against: give it alone to --stored to compare them\n");
  // Real results, the comparison's included, follow the published schema.
  if (bash("/usr/bin/python3 -c 'import jsonschema' 2>&1") != "")
    GTEST_SKIP() << "no jsonschema: apt-get install python3-jsonschema";
  EXPECT_EQ(
      bash("for r in r.json live.json s.json; do /usr/bin/python3 -c 'import "
           "json, sys, jsonschema; jsonschema.validate(json.load(open("
           "sys.argv[2])), json.load(open(sys.argv[1])))' " TREEFLOOD_SOURCE_DIR
           "/docs/result.schema.json $r 2>&1 | tail -1; done",
           dir.path),
      "");
}

TEST(Executable, DropCaches) {
  TempDir dir;
  const bool root = geteuid() == 0;
  if (root && access("/usr/bin/setpriv", X_OK) != 0)
    GTEST_SKIP() << "no setpriv";
  // A copy that any user can run, in a directory any user can write.
  chmod(dir.path.c_str(), 0777);
  EXPECT_EQ(bash(std::string("cp " TREEFLOOD_EXE " tf && ") +
                     (root ? "setpriv --reuid=65534 --regid=65534 "
                             "--clear-groups "
                           : "") +
                     "./tf --drop-caches -D -f 10 -d w; echo $?; rm tf",
                 dir.path),
            "--drop-caches needs root: open(/proc/sys/vm/drop_caches): "
            "Permission denied\n1\n");
  EXPECT_EQ(entryCount(dir.path), 0);
  if (!root || access("/usr/bin/strace", X_OK) != 0)
    GTEST_SKIP() << "needs root and strace";
  // Once: the listing, size and read phases start cold; twice: delete too;
  // where the write fails, none, and each says so. A file stands in for the
  // kernel's, unless TREEFLOOD_TEST_DROP_CACHES=real. A lock that the file
  // system refuses is a warning too, and the run goes on.
  const char* real = getenv("TREEFLOOD_TEST_DROP_CACHES");
  const struct {
    int times;
    const char* file;   // that stands in
    const char* order;  // of the writes and the phases' start lines
    const char* cold;   // the listing, size, read and delete phases
  } cases[] = {
      {1, "dc", "1 Creating drop Doing drop Compute drop Reading Deleting ",
       "truetruetruefalse"},
      {2, "dc",
       "1 Creating drop Doing drop Compute drop Reading drop Deleting ",
       "truetruetruetrue"},
      {1, "/dev/full", "4 Creating Doing Compute Reading Deleting ",
       "falsefalsefalsefalse"},
  };
  for (const auto& c : cases) {
    std::string run =
        "rm -f r trace; strace -f -qq -e trace=pwrite64,write,flock -e "
        "signal=none -e inject=flock:error=ENOLCK -o trace env "
        "ASAN_OPTIONS=detect_leaks=0 " TREEFLOOD_EXE
        " -D -s 0 -f 10 --json r --read";
    for (int i = 0; i < c.times; ++i) run += " --drop-caches";
    if (real == nullptr || std::string(real) != "real") {
      run =
          "touch dc && unshare -m --propagation private sh -c 'mount --bind " +
          std::string(c.file) + " /proc/sys/vm/drop_caches && " + run + "'";
    } else if (c.file[0] == '/') {
      continue;
    }
    EXPECT_EQ(bash(run + " | grep -c Warning | tr '\\n' ' '; sed -nE "
                         "'s/.*pwrite64\\([0-9]+, \"3\", 1, 0\\) += 1$/drop/p; "
                         "s/.*write\\(1, \"(Creating|Doing|Compute|Reading|"
                         "Deleting).*/\\1/p' trace | tr '\\n' ' '",
                   dir.path),
              c.order);
    auto it = nlohmann::json::parse(readFile(dir.path + "/r"))["iterations"][0];
    EXPECT_EQ(it["listing"]["cold"].dump() +
                  it["phases"]["size"]["cold"].dump() +
                  it["phases"]["read"]["cold"].dump() +
                  it["phases"]["delete"]["cold"].dump(),
              c.cold);
  }
}

TEST(Executable, OnAFileSystemOfItsOwnSpaceMemoryAndFullness) {
  // On a tmpfs of its own, where directories take inodes and no blocks.
  TempDir dir, json;
  if (mount("tmpfs", dir.path.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "can't mount a tmpfs here: " << strerror(errno);
  bash("mkdir w && echo old > old.json", dir.path);
  // Files, each synced and read back, and the space and inodes they took.
  for (const char* size : {"0", "4k"}) {
    EXPECT_EQ(runTreeflood(words("-D -f 100 --fsync file --read --json r -s " +
                                 std::string(size)),
                           dir.path)
                  .status,
              0);
    auto sizes = nlohmann::json::parse(
        readFile(dir.path + "/r"))["iterations"][0]["sizes"];
    EXPECT_EQ(sizes["inodes_used"], 1124) << size;
    EXPECT_EQ(sizes["bytes_used"], size[0] == '0' ? 0 : 409600);
  }
  // ls's peak memory is its own, not that of treeflood's 64 MiB data block.
  runTreeflood(words("-D -s 64M -f 0 --dontDeleteFiles --json r -d w"),
               dir.path);
  const double own =
      std::stod(bash("/usr/bin/time -f %M ls -R w 2>&1 >/dev/null", dir.path));
  if (!kSanitized) {
    EXPECT_LT(nlohmann::json::parse(readFile(
                  dir.path + "/r"))["iterations"][0]["listing"]["max_rss_bytes"]
                  .get<double>(),
              1.5 * 1024 * own);
  }
  // Full: each file made whole is counted, none else.
  ProgramResult r = runTreeflood({"-D", "-f", "300", "--dontDeleteFiles",
                                  "--json", json.path + "/r", "-d", "w"},
                                 dir.path);
  const std::string whole =
      bash("find w -type f -size 10240c | wc -l", dir.path);
  // A result that can't be written says why, and leaves the earlier whole.
  ProgramResult last =
      runTreeflood(words("-D -f 0 --json old.json -d w"), dir.path);
  const std::string left = bash("ls; cat old.json", dir.path);
  umount(dir.path.c_str());
  EXPECT_EQ(last.status, 1);
  EXPECT_MATCH(last.out,
               "*\nFailed to write the results to '*/old.json': No "
               "space left on device\n");
  EXPECT_EQ(left, "old.json\nr\nw\nold\n");
  EXPECT_EQ(r.status, 1);
  EXPECT_MATCH(r.out,
               "*Warning: * of 300 files could not be created "
               "(first: *): No space left on device)\n*");
  auto doc = nlohmann::json::parse(readFile(json.path + "/r"));
  EXPECT_EQ(doc["iterations"][0]["phases"]["create"]["files_done"],
            std::stoi(whole));
  // The listing's rate is of the files made.
  EXPECT_EQ(doc["iterations"][0]["listing"]["files"], std::stoi(whole));
}

TEST(Executable, TouchesOnlyItsOwn) {
  checkOnlyItsOwn({TREEFLOOD_EXE},
                  {.env = {std::string("PATH=") + getenv("PATH")}});
}

TEST(Executable, PauseLockAndAStopInThePause) {
  TempDir dir;
  const std::string out = dir.path + "/out", work = dir.path + "/w",
                    other = dir.path + "/v";
  bash("mkdir w v", dir.path);
  ProgramOptions o{.env = {"PATH=/usr/bin:/bin"}, .cwd = work, .out = out};
  // Side by side: a pause before each side's delete phase, A's then B's.
  pid_t pid = spawn(TREEFLOOD_EXE, words("-D -f 50 -p -i 2 --against ../v"), o);
  const std::string paused = "Paused before deleting: kill -CONT " +
                             std::to_string(pid) + " to go on\n";
  // Stopped, as /proc shows it, after the line that says how to go on.
  auto pausedIn = [&](const std::string& side) {
    return waitFor([&] {
      return matches(readFile("/proc/" + std::to_string(pid) + "/stat"),
                     "*) T *") &&
             matches(readFile(out), "*, " + side + "*\n\n" + paused);
    });
  };
  EXPECT_TRUE(pausedIn("A: " + work));
  kill(pid, SIGCONT);
  EXPECT_TRUE(pausedIn("B: " + other));
  // A second run in either directory is refused, and touches nothing.
  for (const std::string& where : {work, other}) {
    ProgramResult second = runTreeflood({"-D", "-f", "10"}, where);
    EXPECT_EQ(second.status, 1);
    EXPECT_EQ(second.out,
              "Another treeflood run is working in '" + where + "'\n");
  }
  EXPECT_EQ(entryCount(work), 0);
  EXPECT_EQ(entryCount(other), 1024);
  // A stop signal in the pause lets the delete phase finish, then says so.
  kill(pid, SIGHUP);
  kill(pid, SIGCONT);
  EXPECT_EQ(reap(pid), 129);
  EXPECT_MATCH(readFile(out),
               "*\nDone, time spent: *\nInterrupted by SIGHUP in the "
               "delete phase after 50 of 50 files (side B: " +
                   other + ")\n");
  EXPECT_EQ(entryCount(other), 0);
}

TEST(Executable, ALeftoverRaceNeverReachesAFileOutside) {
  // Another user links a file of the run's user in at a file's name and
  // unlinks it, over and over, while the run makes that file 100 times.
  TempDir dir(access("/dev/shm", W_OK) == 0 ? "/dev/shm" : nullptr);
  bash("mkdir w && head -c 4096 /dev/urandom | tee victim > copy", dir.path);
  const std::string victim = dir.path + "/victim";
  const std::string name = dir.path + "/w/d_000/f_0";
  std::atomic<bool> done{false};
  std::thread attacker([&] {
    while (!done) {
      link(victim.c_str(), name.c_str());
      unlink(name.c_str());
    }
  });
  runTreeflood(words("-D -s 4096 -f 1 -i 100 -d w --csv r.csv"), dir.path);
  done = true;
  attacker.join();
  EXPECT_EQ(bash("cmp victim copy && echo same", dir.path), "same\n");
  // The race was met: some iterations found the link at the name.
  EXPECT_NE(
      bash("awk -F, '$11 == \"create\" && $13 > 0' r.csv | wc -l", dir.path),
      "0\n");
}

TEST(Executable, DirectIoRefusedOnFourKilobyteSectorsAndSyncsReachTheDisk) {
  TempDir dir;
  std::string dev = bash(
      "truncate -s 64M img && d=$(losetup -f --show -b 4096 img) && "
      "{ mkfs.ext4 -q -E lazy_itable_init=0 $d && mkdir m && mount $d m && "
      "echo $d || losetup -d $d; "
      "}",
      dir.path);
  if (dev.empty()) GTEST_SKIP() << "can't mount a disk with 4 KiB sectors here";
  ProgramResult direct = runTreeflood(words("-f 100 -d m"), dir.path);
  // Buffered, or with a size the sectors divide, it works.
  int others = runTreeflood(words("-D -f 100 -d m"), dir.path).status +
               runTreeflood(words("-s 4K -f 100 -d m"), dir.path).status;
  // Synced, buffered files are on the disk before the run ends: the written
  // sectors grow by their bytes (one directory: no journal to fill).
  const std::string written =
      "awk '{print $7}' /sys/block/" + dev.substr(5, dev.size() - 6) + "/stat";
  for (const char* mode : {"file", "phase"}) {
    const long long before = std::stoll(bash(written));
    others += runTreeflood(
                  words("-D -f 200 --dirs 1 -d m --fsync " + std::string(mode)),
                  dir.path)
                  .status;
    EXPECT_GE(std::stoll(bash(written)) - before, 200 * 10240 / 512) << mode;
  }
  // xfs reserves more than it keeps until writeback (50 MB, not 10, unsynced);
  // btrfs compresses zeros to nothing, random data not at all. Each in a
  // mount namespace of its own, on a loop device that goes with the mount:
  // nothing stays mounted however the run ends. -1 without the mkfs tool.
  auto used = [&](const std::string& mkfs, const std::string& options,
                  const std::string& args) {
    if (bash("command -v " + mkfs).empty()) return -1.0;
    bash(
        "rm -f x.json; truncate -s 300M x.img && mkdir -p x && unshare -m "
        "sh -c '" +
            mkfs + " -f -q x.img && mount -o loop" + options +
            " x.img x && " TREEFLOOD_EXE
            " -D --no-progress --json x.json -d "
            "x " +
            args + " >/dev/null; umount x'; rm x.img",
        dir.path);
    if (access((dir.path + "/x.json").c_str(), F_OK) != 0) {
      ADD_FAILURE() << "no result on " << mkfs << options;
      return -1.0;
    }
    return nlohmann::json::parse(readFile(
        dir.path + "/x.json"))["iterations"][0]["sizes"]["bytes_used"]
        .get<double>();
  };
  const double xfs = used("mkfs.xfs", "", "-s 4k -f 2000");
  EXPECT_LT(xfs, 2 * 2000 * 4096);
  const double zeros = used("mkfs.btrfs", ",compress=zstd", "-s 64k -f 200");
  const double random =
      used("mkfs.btrfs", ",compress=zstd", "-s 64k -f 200 --data random");
  EXPECT_GT(random, 5 * zeros);
  std::string left = bash("ls -A m; umount m; losetup -d " + dev, dir.path);
  EXPECT_EQ(direct.status, 1);
  EXPECT_MATCH(direct.out,
               "The file system of '*/m' refuses direct I/O "
               "of 10240-byte files (write: Invalid "
               "argument): try --no-direct-io\n");
  EXPECT_EQ(others, 0);
  EXPECT_EQ(left, "lost+found\n");
}

}  // namespace treeflood
