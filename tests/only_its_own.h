// Runs among entries that are not theirs, in and around the tree, that both
// treeflood and treeflood-mpi must leave as they were.
#ifndef TREEFLOOD_TESTS_ONLY_ITS_OWN_H_
#define TREEFLOOD_TESTS_ONLY_ITS_OWN_H_

#include "test_util.h"

// What `dir` holds: each directory and regular file (with its size) by
// name, and how many entries of each other type (p: FIFO, l: link).
inline std::string treeLeft(const std::string& dir) {
  return bash(
      "find . -mindepth 1 \\( -type d -printf '%P/\\n' \\) -o \\( -type f "
      "-printf '%P %s\\n' \\) -o -printf '%y\\n' | sort | uniq -c | sed "
      "'s/^ *//'",
      dir);
}

// Runs `command` and the row's arguments after "-d work" in a fresh
// directory that holds work/, out/ (two files of 8 bytes, "file" and
// "linked") and bin/ (first on PATH) as each row sets them up, and checks
// the status, the output, what stays in work/ and that out/ is as it was.
inline void checkOnlyItsOwn(const std::vector<std::string>& command,
                            ProgramOptions options) {
  // Another user's file, a hard and a symbolic link to files outside, and
  // FIFOs at the names of the last 80 of 2000 files in one directory, which
  // others may write in.
  const std::string foreign =
      "mkdir -m 777 work/d_000 && echo precious > work/d_000/f_000 && chown "
      "65534 "
      "work/d_000/f_000 && ln out/linked work/d_000/f_001 && ln -s "
      "../../out/file work/d_000/f_002 && for i in $(seq 1920 1999); do "
      "mkfifo work/d_000/f_$(printf %03x $i); done";
  const std::string foreignLeft =
      "1 d_000/\n1 d_000/f_000 9\n1 d_000/f_001 8\n1 l\n80 p\n";
  // In a random order, so that every rank meets refused names in each phase.
  const std::vector<std::string> files = words(
      "-f 2000 --dirs 1 -s 0 -D --read --no-progress --order random --seed 1");
  const std::string created =
      "*\nCreating 2000 files, started at *...\nWarning: 1 of 1 directories "
      "were there before the run and others can write in them (first: "
      "d_000)\nWarning: 83 of 2000 files "
      "could not be created (first: open(d_000/f_000): file of another "
      "user)\nDone, time spent: *\n\n";
  const struct {
    std::string setup;              // a shell command
    std::vector<std::string> args;  // after -d work
    int status;
    std::string output;  // a pattern
    std::string left;    // as treeLeft gives it
    bool root = false;   // the setup needs root
  } cases[] = {
      // The later phases neither count nor touch what the create phase
      // refused to replace...
      {foreign, files, 1,
       created +
           "*\nCompute size used by 2000 files, started at *...\nSize used "
           "by files: 0 Bytes\n*\nReading 2000 files, started at "
           "*...\nDone, time spent: *\n\nDeleting 2000 files, started at "
           "*...\nWarning: 1 of 1 directories could not be removed (first: "
           "rmdir(d_000): Directory not empty)\nDone, time spent: *\n",
       foreignLeft, true},
      // ...nor does the clean-up after a stop (a SIGTERM from ls).
      {foreign + " && printf '#!/bin/sh\\nkill -TERM $(cut -d\" \" -f4 "
                 "/proc/$PPID/stat)' > bin/ls && chmod +x bin/ls",
       files, 143,
       created + "*\nInterrupted by SIGTERM in the listing phase after 2000 "
                 "of 2000 files*",
       foreignLeft, true},
      // --cleanup removes the caller's own files with one link at a run's
      // names, and empty directories, on the working directory's file
      // system alone.
      {"cd work && mkdir d_000 d_002 d_003 d_1 d_facade d_cafe "
       "d_0123456789abcdef0123456789 && echo precious > d_000/f_0 && chown "
       "65534 d_000/f_0 && echo mine > d_000/f_1 && ln ../out/linked d_000/f_2 "
       "&& ln -s ../../out/file d_000/f_3 && mkfifo d_000/f_4 && mknod "
       "d_000/f_5 c 1 3 && ln ../out/file d_cafe/f_ace && touch d_1/f_0 "
       "d_cafe/f_0123456789abcdef0 d_003/f_0 "
       "d_facade/f_0 d_0123456789abcdef0123456789/f_0123456789abcdef0 && mkdir "
       "d_001 && mount -t tmpfs none d_001 && touch d_001/f_1 && chown 65534 "
       "d_003",
       {"--cleanup"},
       1,
       "Removed 2 files and 1 directories of a run from '*/work'\nWarning: 9 "
       "entries stay:\n  d_000/f_0: file of another user\n  d_000/f_2: file "
       "has other links\n  d_000/f_3: not a regular file\n  d_000/f_4: not a "
       "regular file\n  d_000/f_5: not a regular file\n  and 4 more\n",
       "1 c\n1 d_000/\n1 d_000/f_0 9\n1 d_000/f_2 8\n1 d_001/\n1 d_001/f_1 0\n"
       "1 d_003/\n1 d_0123456789abcdef0123456789/\n"
       "1 d_0123456789abcdef0123456789/f_0123456789abcdef0 0\n1 d_1/\n"
       "1 d_1/f_0 0\n1 d_cafe/\n1 d_cafe/f_0123456789abcdef0 0\n1 d_cafe/f_ace "
       "8\n1 d_facade/\n"
       "1 d_facade/f_0 0\n1 l\n1 p\n",
       true},
      // No output file where the tree is, through a link or not.
      {"mkdir work/d_000 && seq 5 > work/d_000/f_1",
       words("-s 0 -f 9 --csv work/d_000/f_1"), 1,
       "The --csv file '*/work/d_000/f_1' would be in the run's tree in "
       "'*/work'\n",
       "1 d_000/\n1 d_000/f_1 10\n"},
      {"mkdir work/d_000 && ln -s work/d_000/f_7 r.json",
       words("-s 0 -f 9 --json r.json"), 1,
       "The --json file '*/r.json' would be in the run's tree in '*/work'\n",
       "1 d_000/\n"},
      {"", words("-s 0 -f 9 --json work/f_1"), 1,
       "The --json file '*/work/f_1' would be in the run's tree in '*/work'\n",
       ""},
  };
  const std::string path = options.env[0];  // "PATH=..."
  for (const auto& c : cases) {
    if (c.root && geteuid() != 0) {
      std::cout << "skipped, without root: " << c.setup << "\n";
      continue;
    }
    TempDir top;
    bash("mkdir work out bin && echo outside | tee out/file > out/linked && " +
             (c.setup.empty() ? "true" : c.setup),
         top.path);
    std::vector<std::string> args = command;
    args.insert(args.end(), {"-d", "work"});
    args.insert(args.end(), c.args.begin(), c.args.end());
    ProgramOptions o = options;
    o.cwd = top.path;
    o.env[0] = "PATH=" + top.path + "/bin:" + path.substr(5);
    ProgramResult r = runProgram(args[0], {args.begin() + 1, args.end()}, o);
    EXPECT_EQ(r.status, c.status) << c.setup << r.out << r.err;
    EXPECT_MATCH(r.out, c.output);
    EXPECT_EQ(treeLeft(top.path + "/work"), c.left) << c.setup;
    EXPECT_EQ(bash("cat out/*", top.path), "outside\noutside\n");
    bash("umount -q work/d_001 2>/dev/null", top.path);
  }
}

#endif  // TREEFLOOD_TESTS_ONLY_ITS_OWN_H_
