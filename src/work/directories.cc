#include "work/directories.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace treeflood {

void openDirectories(int workFd, const TreeLayout& layout, DirectoryMode mode,
                     int* dirFds, PhaseFailures* failures,
                     PhaseFailures* exposed) {
  const bool make = mode == DirectoryMode::MakeMissing;
  char name[kDirNameSize];
  const uid_t uid = geteuid();
  for (unsigned d = 0; d < layout.dirs; ++d) {
    dirName(layout, d, name);
    const char* call = "mkdir";
    int fd = -1;
    const bool made = make && mkdirat(workFd, name, 0766) == 0;
    if (made || !make || errno == EEXIST) {
      call = "open";
      fd =
          openat(workFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0) {
      fd = -errno;
      countFailure(failures, d, call, errno);
    }
    dirFds[d] = fd;
    // Someone else can put entries into a directory that was there before,
    // between the run's own; in a sticky one only into theirs.
    struct stat st;
    if (make && !made && fd >= 0 && exposed != nullptr && fstat(fd, &st) == 0 &&
        (st.st_uid != uid || ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 &&
                              (st.st_mode & S_ISVTX) == 0))) {
      countFailure(exposed, d, "open", 0);
    }
  }
}

void closeDirectories(const TreeLayout& layout, int* dirFds) {
  for (unsigned d = 0; d < layout.dirs; ++d) {
    if (dirFds[d] >= 0) close(dirFds[d]);
    dirFds[d] = -EBADF;
  }
}

int64_t directoryBlocks(int workFd, const TreeLayout& layout,
                        const int* dirFds) {
  struct stat st;
  int64_t blocks = fstat(workFd, &st) == 0 ? st.st_blocks : 0;
  for (unsigned d = 0; d < layout.dirs; ++d) {
    if (dirFds[d] >= 0 && fstat(dirFds[d], &st) == 0) blocks += st.st_blocks;
  }
  return blocks;
}

void removeDirectories(int workFd, const TreeLayout& layout, int* dirFds,
                       PhaseFailures* failures) {
  char name[kDirNameSize];
  for (unsigned d = 0; d < layout.dirs; ++d) {
    // One that could not be opened was never the run's: it stays, and was
    // counted when the directories were made.
    if (dirFds[d] < 0) continue;
    close(dirFds[d]);
    dirFds[d] = -EBADF;
    dirName(layout, d, name);
    if (unlinkat(workFd, name, AT_REMOVEDIR) != 0) {
      countFailure(failures, d, "rmdir", errno);
    }
  }
}

}  // namespace treeflood
