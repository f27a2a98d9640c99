#include "driver/checks.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "driver/csv.h"
#include "driver/paths.h"
#include "driver/result_files.h"
#include "work/workers.h"

namespace treeflood {

namespace {

const char kDropCachesPath[] = "/proc/sys/vm/drop_caches";

}  // namespace

Failure openWorkDir(const RunSettings& s, WorkDir* dir) {
  // Every path of the tree is taken from this descriptor; the process never
  // changes its own directory.
  const char* name = s.workDir ? s.workDir->c_str() : ".";
  dir->fd.reset(open(name, O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!dir->fd) {
    return failure("Filed to change working directory (%s) because '%s'\n",
                   name, strerror(errno));
  }
  char* real = realpath(name, nullptr);
  dir->path = real != nullptr ? real : absolutePath(name);
  free(real);
  // Two runs in one directory would measure each other's files. The lock
  // goes with the process, however it ends.
  dir->lockError = flock(dir->fd.get(), LOCK_EX | LOCK_NB) == 0 ? 0 : errno;
  if (dir->lockError == EWOULDBLOCK) {
    return failure("Another treeflood run is working in '%s'\n",
                   dir->path.c_str());
  }
  return {};
}

std::string lockWarning(int error) {
  return std::string("Warning: the working directory could not be locked ") +
         "(flock: " + strerror(error) +
         "): a second run in it would not be kept out\n";
}

Failure checkDirectIo(const WorkDir& dir, size_t fileSize) {
  const UniqueFd fd(openat(dir.fd.get(), ".",
                           O_TMPFILE | O_WRONLY | O_CLOEXEC | O_DIRECT, 0600));
  const char* call = "open";
  int error = fd ? 0 : errno;
  if (fd) {
    call = "write";
    error = write(fd.get(), dataBlock, fileSize) < 0 ? errno : 0;
  }
  if (error != EINVAL) return {};
  return failure(
      "The file system of '%s' refuses direct I/O of %zu-byte files (%s: %s): "
      "try --no-direct-io\n",
      dir.path.c_str(), fileSize, call, strerror(error));
}

Failure raiseDescriptorLimit(unsigned dirs) {
  const rlim_t needed = dirs + 64;
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= needed) {
    return {};
  }
  // Root may raise the hard limit too; others go as far as it allows.
  struct rlimit raised = {needed, std::max(limit.rlim_max, needed)};
  if (setrlimit(RLIMIT_NOFILE, &raised) == 0) return {};
  limit.rlim_cur = std::min(limit.rlim_max, needed);
  if (setrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur >= needed) {
    return {};
  }
  return failure("%u directories need %" PRIu64
                 " open files, and the limit is %" PRIu64
                 ": raise it (ulimit -Hn) or use fewer --dirs\n",
                 dirs, uint64_t{needed}, uint64_t{limit.rlim_max});
}

Failure openDropCaches(UniqueFd* fd) {
  fd->reset(open(kDropCachesPath, O_WRONLY | O_CLOEXEC));
  if (*fd) return {};
  return failure("--drop-caches needs root: open(%s): %s\n", kDropCachesPath,
                 strerror(errno));
}

bool dropCaches(int workFd, int dropFd) {
  const char* failed = syncfs(workFd) != 0              ? "syncfs"
                       : pwrite(dropFd, "3", 1, 0) != 1 ? "write"
                                                        : nullptr;
  if (failed == nullptr) return true;
  logMessage("Warning: the caches were not dropped (%s: %s)\n", failed,
             strerror(errno));
  return false;
}

Failure checkOutputs(const WorkDir& dir, const std::string& jsonPath,
                     const std::string& csvPath) {
  if (!jsonPath.empty() && !csvPath.empty() && sameFile(jsonPath, csvPath)) {
    return failure("'%s' can't be both the --json and the --csv file\n",
                   jsonPath.c_str());
  }
  // The tree's phases and clean-ups would take such a file for a leftover.
  for (const auto& [option, path] :
       {std::pair{"--json", &jsonPath}, {"--csv", &csvPath}}) {
    if (!path->empty() && inTree(dir.fd.get(), *path)) {
      return failure("The %s file '%s' would be in the run's tree in '%s'\n",
                     option, path->c_str(), dir.path.c_str());
    }
  }
  if (!jsonPath.empty() && !canWriteFile(jsonPath)) {
    return failure("Can't write the results to '%s': %s\n", jsonPath.c_str(),
                   errno == EINVAL ? "not a regular file" : strerror(errno));
  }
  return {};
}

Failure openCsv(const std::string& path, UniqueFd* fd) {
  fd->reset(open(path.c_str(),
                 O_RDWR | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0644));
  struct stat st;
  const char* why = !*fd ? strerror(errno)
                    : fstat(fd->get(), &st) != 0 || !S_ISREG(st.st_mode)
                        ? "not a regular file"
                    : !csvHeaderMatches(fd->get())
                        ? "its columns are not this version's: start a new file"
                        : nullptr;
  if (why == nullptr) return {};
  return failure("Failed to open '%s': %s\n", path.c_str(), why);
}

}  // namespace treeflood
