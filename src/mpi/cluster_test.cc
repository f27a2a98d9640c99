// treeflood-mpi under mpirun, with several ranks on this machine.
#include <nlohmann/json.hpp>

#include "only_its_own.h"

namespace treeflood {

namespace {

// mpirun's arguments for `ranks` ranks of treeflood-mpi with `args`. mpirun
// ends the job by itself after 50 s, so that no rank outlives a test.
std::vector<std::string> mpirun(int ranks, std::vector<std::string> args) {
  args.insert(args.begin(),
              {"-np", std::to_string(ranks), "--oversubscribe", "--bind-to",
               "none", "--timeout", "50", TREEFLOOD_MPI_EXE});
  return args;
}

// mpirun's environment, as root too, with the sanitizers' settings of the
// test's own; and its directory.
ProgramOptions inDir(const std::string& cwd) {
  ProgramOptions o = {
      .env = {std::string("PATH=") + getenv("PATH"), "HOME=" + cwd,
              "OMPI_ALLOW_RUN_AS_ROOT=1", "OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1"},
      .cwd = cwd};
  for (const char* name :
       {"ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
    if (getenv(name)) o.env.push_back(std::string(name) + "=" + getenv(name));
  }
  return o;
}

}  // namespace

TEST(Cluster, EveryFileOnceOverAllRanks) {
  // The way numbers are handed out and the workload, the files' size, and
  // the nodes: one, or two started through an rsh of the test's (ranks 0
  // and 1 on n2, rank 2 on n3), each with a file of its own mounted over
  // the kernel's cache switch, n3's read-only in the last row. In a random
  // order, every rank maps the numbers it draws as rank 0 does; with random
  // data, every rank reads back what another wrote.
  const struct {
    std::vector<std::string> grants;
    std::string size;
    int nodes;
    const char* n3 = "";
  } cases[] = {
      {words("--batch 1 --read --data random"), "10240", 1},
      {words("--time-limit 0.3 --order random --read --dirs 2 --fsync phase"),
       "0", 1},
      {words("--drop-caches"), "0", 2},
      {words("--drop-caches"), "0", 2, "-o ro"},
  };
  for (const auto& [grants, size, nodes, n3] : cases) {
    if (nodes > 1 && geteuid() != 0) continue;
    const int ranks = 3;
    const bool limited = grants[0] == "--time-limit";
    TempDir dir;
    bash("mkdir w", dir.path);
    std::vector<std::string> args = {
        "-D", "-f", limited ? "3000000" : "3000", "-t",     "2",
        "-s", size, "--dontDeleteFiles",          "--json", "r",
        "-d", "w"};
    args.insert(args.end(), grants.begin(), grants.end());
    std::vector<std::string> command = mpirun(ranks, args);
    if (nodes > 1) {
      bash(
          "printf '#!/bin/sh\\nwhile [ \"${1#-}\" != \"$1\" ]; do shift; "
          "done\\nn=n${1##*.}; o=; [ $n = n3 ] && o=\"" +
              std::string(n3) +
              "\"\\nshift\\nexec unshare --uts --mount sh -c \"hostname $n "
              "&& mount --bind $o $PWD/$n /proc/sys/vm/drop_caches && $*\"\\n' "
              ">rsh; chmod +x rsh; touch n2 n3",
          dir.path);
      command.insert(
          command.begin(),
          {"--host", "127.0.0.2:2,127.0.0.3:1", "--mca", "plm_rsh_agent",
           dir.path + "/rsh", "--mca", "btl", "tcp,self", "--mca",
           "btl_tcp_if_include", "lo", "--mca", "oob_tcp_if_include", "lo"});
    }
    ProgramResult r = runProgram(MPIEXEC, command, inDir(dir.path));
    if (*n3) {
      // Refused on n3 before anything is made.
      EXPECT_EQ(r.status, 1);
      EXPECT_MATCH(r.err,
                   "*rank 2: --drop-caches needs root: open(*): "
                   "Read-only file system\n*");
      EXPECT_EQ(entryCount(dir.path + "/w"), 0);
      continue;
    }
    // Each node dropped its caches.
    if (nodes > 1) {
      EXPECT_EQ(readFile(dir.path + "/n2") + readFile(dir.path + "/n3"), "33");
    }
    // A number that no thread worked on fails in the size phase.
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_FALSE(matches(r.out, "*sent nothing*")) << r.out;
    const std::string n = std::to_string(ranks);
    EXPECT_MATCH(r.out,
                 "treeflood will create * files with " +
                     std::to_string(2 * ranks) + " threads\non " + n +
                     " ranks: " + (nodes > 1 ? "n2 (2), n3 (1)" : "* (3)") +
                     "\n*Version: *");
    auto iteration =
        nlohmann::json::parse(readFile(dir.path + "/r"))["iterations"][0];
    const auto& create = iteration["phases"]["create"];
    const uint64_t made = create["files_done"].get<uint64_t>();
    // The time limit stops a run short of its count; else all are made.
    if (limited) {
      EXPECT_LT(made, 3000000u);
      EXPECT_GT(create["sync_seconds"].get<double>(), 0);  // --fsync phase
    } else {
      EXPECT_EQ(made, 3000u);
    }
    // A number drawn twice fails its second O_EXCL open; one never drawn
    // leaves a file missing.
    EXPECT_EQ(bash("find w -type f -size " + std::string(size) + "c | wc -l",
                   dir.path),
              std::to_string(made) + "\n");
    uint64_t shares = 0;
    for (const auto& rank : create["ranks"])
      shares += rank["files_done"].get<uint64_t>();
    EXPECT_EQ(shares, made);
  }
}

// Runs rows [first, end) of the table of stops and stalls below.
void runStopRows(size_t first, size_t end) {
  TempDir dir;
  const std::string work = dir.path + "/w";
  bash("mkdir w", dir.path);
  const std::vector<std::string> endless = words("-D -s 0 -f 5000000 -t 2");
  // Short iterations, whose files rank 0 removes in far less than the 2 s
  // mpirun leaves between its SIGTERM and its SIGKILL.
  const std::string cycles = "-D -s 0 -f 2000 --dirs 1 -i 1000";
  // In the create phase, unless a busy machine let it end first.
  const std::string silent =
      "*Warning: rank 2 (*) sent nothing for more than 5 s in the * phase*\n";
  const std::string rank0 = "p=$(pgrep -o -P $0); kill -STOP $p; ";
  // SIGINT to the last rank alone (Slurm's test sends SIGTERM to every
  // rank); SIGUSR1 to mpirun, which passes it on at once; Ctrl-C on mpirun,
  // which passes SIGTERM on after its sigkill timeout and ends 1; SIGKILL to
  // a rank, after which --cleanup removes the tree; SIGSTOP to a rank, past
  // the stall timeout or for 6 s; the last rank's file calls held (a hung
  // client: it sends, but finishes nothing); rank 0 stopped for good; the
  // last rank stopped, then rank 0 for 3 s, beyond rank 0's stall timeout
  // and within the others', the last one continued half a second after it
  // (rank 0 has all it sent before its stop, and nothing after);
  // rank 0 paused by -p past the stall timeout. mpirun's oldest child is
  // rank 0, its newest the last rank.
  const struct {
    std::vector<std::string> args;
    std::string kill;
    int status;
    std::string out;  // empty for a killed job, whose tree stays
    std::string err = "*";
    std::vector<std::string> others = {};  // ranks 1 and 2's own
  } cases[] = {
      {endless, "kill -INT $(pgrep -n -P $0)", 130,
       "*Interrupted by SIGINT in the create phase after * of 5000000 files "
       "on rank 2 (*)\n"},
      {words(cycles), "kill -INT $0", 1,
       "*Interrupted by SIGTERM in the * on rank *"},
      {endless, "kill -USR1 $0", 138,
       "*Interrupted by SIGUSR1 in the create phase after * of 5000000 files "
       "on rank *\n"},
      {endless, "kill -KILL $(pgrep -n -P $0)", 137, ""},
      {words("-D -s 0 -f 50000 --stall-timeout 2"),
       "kill -STOP $(pgrep -n -P $0)", 1,
       "*Warning: rank 2 (*) sent nothing for more than 2 s in the * phase*\n"
       "Rank 2 (*) sent nothing for 2 s in the * phase*: ending the job\n*"},
      {words("-D -s 0 -f 20000"),
       "p=$(pgrep -n -P $0); kill -STOP $p; sleep 6; kill -CONT $p", 0,
       silent + "*Deleting 20000 files*"},
      {words(cycles + " --stall-timeout 3 --json r"),
       "until grep -q Iteration.2 out; do sleep 0.1; done; "
       "p=$(pgrep -n -P $0); strace -f -o /dev/null -e "
       "inject=openat,newfstatat,unlinkat:delay_enter=99s -p $p >/dev/null "
       "2>&1 & echo $p $! >hung",
       1,
       "*Warning: rank 2 (*) finished no file for more than 3 s in the * "
       "phase (*)\nRank 2 (*) finished no file for 3 s in the * phase (*): "
       "ending the job\n*"},
      {words("-D -s 0 -f 5000000 --stall-timeout 2"), rank0, 1, "",
       "*rank ?: Rank 0 (*) sent nothing for 2 s in the create phase: ending "
       "the job; the tree stays: run treeflood --cleanup -d " +
           work + "\n*"},
      {words("-D -s 0 -f 20000 --stall-timeout 2"),
       "p=$(pgrep -o -P $0); q=$(pgrep -n -P $0); kill -STOP $q; sleep 0.3; "
       "kill -STOP $p; sleep 3; kill -CONT $p; sleep 0.5; kill -CONT $q",
       0, "*Deleting 20000 files*", "*", words("--stall-timeout 20")},
      {words("-D -s 0 -f 50 -p --stall-timeout 1"),
       "until grep -q Paused out; do sleep 0.1; done; sleep 2; kill -CONT "
       "$(pgrep -o -P $0)",
       0, "*Paused before deleting*Deleting 50 files*"},
  };
  ASSERT_LE(end, std::size(cases));
  for (size_t i = first; i < end; ++i) {
    const auto& c = cases[i];
    ProgramOptions o = inDir(dir.path);
    o.out = dir.path + "/out";
    o.err = dir.path + "/err";
    o.env.push_back("OMPI_MCA_odls_base_sigkill_timeout=2");
    std::vector<std::string> args = c.args;
    args.insert(args.end(), {"--no-progress", "-d", work});
    // 16 directories: making and removing 1024 is most of a short row.
    if (std::find(args.begin(), args.end(), "--dirs") == args.end()) {
      args.insert(args.end(), {"--dirs", "16"});
    }
    std::vector<std::string> command = mpirun(3, args);
    if (!c.others.empty()) {
      command = mpirun(1, args);
      for (const auto& more :
           {{":", "-np", "2", TREEFLOOD_MPI_EXE}, args, c.others}) {
        command.insert(command.end(), more.begin(), more.end());
      }
    }
    pid_t pid = spawn(MPIEXEC, command, o);
    for (int wait = 0; wait < 3000 && entryCount(work + "/d_000") < 10; ++wait)
      usleep(10000);
    bash("sh -c '" + c.kill + "' " + std::to_string(pid), dir.path);
    EXPECT_EQ(reap(pid), c.status) << c.kill << readFile(o.err);
    // The held rank and its tracer, which keeps it from dying.
    bash("[ ! -e hung ] || kill -KILL $(cat hung); rm -f hung", dir.path);
    const std::string out = readFile(o.out);
    EXPECT_MATCH(readFile(o.err), c.err);
    if (c.out.empty()) {
      // A stopped rank 0 may have cleaned up when mpirun ended it.
      if (c.err == "*") {
        EXPECT_GT(entryCount(work), 0);
      }
      EXPECT_EQ(runProgram(MPIEXEC, mpirun(1, {"--cleanup", "-d", work}),
                           inDir(dir.path))
                    .status,
                0);
    } else {
      EXPECT_MATCH(out, c.out) << readFile(o.err);
    }
    if (c.status == 0) {
      EXPECT_FALSE(matches(out, "*ending the job*")) << out;
    }
    EXPECT_EQ(entryCount(work), 0) << c.kill;
  }
  if (first <= 6 && 6 < end) {
    // The stall ended an iteration; the JSON holds those before it.
    auto json = nlohmann::json::parse(readFile(dir.path + "/r"));
    EXPECT_EQ(json["interrupted"]["reason"], "stall");
    EXPECT_EQ(json["interrupted"]["rank"], 2);
    EXPECT_EQ(json["iterations"].size() + 1, json["interrupted"]["iteration"]);
    EXPECT_GT(json["iterations"].size(), 0u);
  }
}

TEST(Cluster, AStopOnAnyRankStopsAllAndASilentOneIsNamed) {
  runStopRows(0, 6);
  TempDir dir;
  // A directory that a rank can't enter is refused before anything is made.
  ProgramResult r =
      runProgram(MPIEXEC, mpirun(2, {"-d", "missing"}), inDir(dir.path));
  EXPECT_EQ(r.status, 1);
  EXPECT_MATCH(r.out + r.err, "*(missing)*No such file or directory*");
}

TEST(Cluster, AHungRankOrASilentRankZeroEndsTheJob) { runStopRows(6, 10); }

TEST(Cluster, UnderSlurmEveryStopCleansUpAndKeepsWhatFinished) {
  if (geteuid() != 0 || access("/usr/sbin/slurmd", X_OK) != 0)
    GTEST_SKIP() << "needs root and Slurm (tools/install-deps)";
  // All at once, each in its directory $W: how it starts ($C: iterations
  // that outlast a minute's time limit, each a second idle in a slow ls; $E:
  // one endless one), how it is stopped once it has files, and what it
  // prints (the job's output file, the log, the status, then each task's
  // exit code however srun grouped them). KillWait 2 s: a slow clean-up fails.
  const std::string tasks =
      "\ntask 0 exited 143\ntask 1 exited 143\ntask 2 exited 143\n";
  const std::string term = "*on 3 ranks*Interrupted by SIGTERM in the ";
  const struct {
    const char *start, *stop;
    std::string out;
  } cases[] = {
      {"srun $S -t 1 $MPI $T $C", ":", term + "*\n143" + tasks},
      {"sbatch -W -n 3 -t 1 -o $W.job --wrap \"srun --mpi=pmix $MPI $T $C\"",
       ":", term + "*" + tasks},
      {"salloc -K -n 1 -t 1 " TREEFLOOD_EXE " $T $C -t 3", ":",
       "*Interrupted by SIGTERM in the *143\n"},
      // As slurmstepd ends a step: SIGTERM, SIGCONT, SIGTERM 10 ms later.
      {"srun $S $MPI $T $E",
       "p=$(pgrep -f \"^$MPI .*-d $W \"); kill -TERM $p; kill -CONT $p; "
       "sleep 0.01; kill -TERM $p",
       term + "create phase*\n143" + tasks},
      {"srun $S $MPI $T $E", "scancel -n $W", term + "create phase*" + tasks},
      // slurmstepd's SIGTERM, then mpirun's; mpirun passes no more output on.
      {"sbatch -W -n 3 -J $W -o $W.job --wrap \"exec mpirun -np 3 "
       "--oversubscribe $MPI $T $E\"",
       "scancel -n $W", "*on 3 ranks*"},
  };
  std::string scenario =
      "export OMPI_ALLOW_RUN_AS_ROOT=1 OMPI_ALLOW_RUN_AS_ROOT_CONFIRM=1 "
      "OMPI_MCA_oob_tcp_if_include=lo MPI=" TREEFLOOD_MPI_EXE
      " PATH=$PWD/bin:$PATH\nmkdir bin && printf '#!/bin/sh\\nsleep 1\\nexec "
      "/bin/ls \"$@\"\\n' >bin/ls && chmod +x bin/ls\nC='-f 200 --dirs 1 -i "
      "1000' E='-f 5000000'\nstarted() { "
      "for i in $(seq 3000); do [ \"$(/bin/ls $W/d_000 2>/dev/null | wc -l)\" "
      "-ge "
      "10 ] && return; sleep 0.01; done; }\ntasks() { cat $W.job $W.log "
      "2>/dev/null | sed -nE 's/.*tasks? ([0-9,-]+): Exited with exit code "
      "([0-9]+)$/\\2 \\1/p' | while read c l; do for p in ${l//,/ }; do for t "
      "in $(seq ${p%-*} ${p#*-}); do echo task $t exited $c; done; done; done "
      "| sort; }\n";
  for (size_t i = 0; i < std::size(cases); ++i) {
    scenario += "(W=w" + std::to_string(i) +
                "; S=\"--mpi=pmix -n 3 -J $W\" T=\"-D -s 0 --no-progress -d "
                "$W --json $W.json\"; mkdir $W\n(" +
                cases[i].start + ") >$W.log 2>&1 &\nstarted; " + cases[i].stop +
                "\nwait $!; echo $? >>$W.log; tasks >>$W.log) &\n";
  }
  // In namespaces of its own, whose processes all die with it.
  TempDir dir;
  ProgramOptions o = inDir(dir.path);
  o.seconds = 200;
  ProgramResult r =
      runProgram("/usr/bin/unshare",
                 {"--net", "--pid", "--fork", "--kill-child", "--mount-proc",
                  TREEFLOOD_SOURCE_DIR "/tools/slurm-node", dir.path + "/slurm",
                  "bash", "-c", scenario + "wait\n"},
                 o);
  EXPECT_EQ(r.status, 0) << r.err;
  for (const auto& c : cases) {
    const std::string w = dir.path + "/w" + std::to_string(&c - cases);
    EXPECT_MATCH(readFile(w + ".job") + readFile(w + ".log"), c.out);
    EXPECT_EQ(entryCount(w), 0) << c.start;
    EXPECT_MATCH(readFile(w + ".json"),
                 std::string("*\"iterations\": \\[") +
                     (strstr(c.start, "$C") ? "\n" : "]") +
                     "*\"interrupted\": {*");
  }
}

TEST(Cluster, TouchesOnlyItsOwn) {
  // mpirun's own directory not put first on the ranks' PATH, so that they
  // find the test's ls. Each rank meets some of the refused names.
  std::vector<std::string> command = mpirun(2, {});
  command.insert(command.begin(), {MPIEXEC, "--noprefix"});
  checkOnlyItsOwn(command, inDir("/tmp"));
}

TEST(Cluster, EveryRankRunsWithRankZerosSettings) {
  // Rank 0's arguments and rank 1's, after the same ones; r is read-only.
  const struct {
    std::vector<std::string> first, second;
    int status;
    std::string out;  // rank 0's, then the others' on standard error
  } cases[] = {
      {words("-s 0"), words("-s 64K"), 1,
       "Rank 1 was given another -s than rank 0: every rank needs the same "
       "settings, -t apart\n*"},
      {words("-d w"), words("-d v"), 1,
       "*Rank 1 does not see rank 0's working directory (No such file or "
       "directory): every rank must work in the same one\n*"},
      {words("-d r"), words("-d r"), 1,
       "*Rank 0 can't write in its working directory 'r': "
       "open(.treeflood-token-*): Read-only file system\n*"},
      {{},
       words("-f abc"),
       1,
       "*rank 1: 'abc' is not a valid argument for '-f' option\n*"},
      {words("--against v -i 2"), words("--against v -i 2"), 1,
       "treeflood-mpi runs in one directory: --against is treeflood's, which "
       "runs two side by side on one host\n*"},
      {words("-t 2"), words("-t 1"), 0,
       "treeflood will create and delete 300 files with 3 threads\n*"},
  };
  for (const auto& c : cases) {
    if (geteuid() != 0 && c.first == words("-d r")) continue;
    TempDir dir;
    bash("mkdir w v r && mount -t tmpfs -o ro tmpfs r", dir.path);
    const std::vector<std::string> base = words("-D -s 0 -f 300 -d w");
    std::vector<std::string> args = mpirun(1, base);
    for (const auto& more :
         {c.first, {":", "-np", "1", TREEFLOOD_MPI_EXE}, base, c.second}) {
      args.insert(args.end(), more.begin(), more.end());
    }
    ProgramResult r = runProgram(MPIEXEC, args, inDir(dir.path));
    bash("umount r", dir.path);
    EXPECT_EQ(r.status, c.status) << c.second[0] << r.out << r.err;
    EXPECT_MATCH(r.out + r.err, c.out);
    EXPECT_EQ(entryCount(dir.path + "/w") + entryCount(dir.path + "/v"), 0);
  }
}

}  // namespace treeflood
