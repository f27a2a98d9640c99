// Helpers shared by the tests: capturing standard output, a scratch
// directory, and running the built executable.
#ifndef TREEFLOOD_TESTS_TEST_UTIL_H_
#define TREEFLOOD_TESTS_TEST_UTIL_H_

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Sends descriptor 1 to a temporary file from construction until finish(),
// which returns what was written.
class CapturedStdout {
 public:
  CapturedStdout();
  ~CapturedStdout();
  std::string finish();

 private:
  int saved_ = -1;
  FILE* file_ = nullptr;
};

// Makes a fresh directory under TMPDIR (or /tmp); removes it and all below
// it when destroyed.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A test that runs inside its own fresh temporary directory and comes back
// to the previous working directory afterwards, whatever happens.
class InTempDir : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  TempDir dir_;

 private:
  std::string previous_;
};

struct ProgramResult {
  int status = -1;  // exit status, or 128 + signal
  std::string out;  // standard output
  std::string err;  // standard error
};

// Runs `exe` with `args` (argument 0 excluded) in `cwd` with exactly the
// environment `env` ("NAME=value" entries).
ProgramResult runProgram(const std::string& exe,
                         const std::vector<std::string>& args,
                         const std::vector<std::string>& env = {},
                         const std::string& cwd = ".");

// The built treeflood executable with `args`, in `cwd`, with PATH as the
// test's own and no COLUMNS unless given in `env`.
ProgramResult runTreeflood(const std::vector<std::string>& args,
                           const std::string& cwd,
                           std::vector<std::string> env = {});

// Writes `text` to `path`, mode `mode`.
void writeFile(const std::string& path, const std::string& text,
               int mode = 0644);

// Contents of `path`.
std::string readFile(const std::string& path);

#endif  // TREEFLOOD_TESTS_TEST_UTIL_H_
