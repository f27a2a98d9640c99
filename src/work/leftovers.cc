#include "work/leftovers.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "work/layout.h"
#include "work/workers.h"

namespace treeflood {

namespace {

// Which file system and mount `fd` is on; a mount id of 0 where the kernel
// gives none.
struct MountOf {
  dev_t dev = 0;
  uint64_t id = 0;
  bool operator!=(const MountOf& other) const {
    return dev != other.dev || (id != 0 && other.id != 0 && id != other.id);
  }
};

MountOf mountOf(int fd, const struct stat& st) {
  MountOf mount = {st.st_dev, 0};
  struct statx sx;
  if (statx(fd, "", AT_EMPTY_PATH, STATX_MNT_ID, &sx) == 0 &&
      (sx.stx_mask & STATX_MNT_ID) != 0) {
    mount.id = sx.stx_mnt_id;
  }
  return mount;
}

// Counts an entry that stays, keeping the first few by path.
void noteStayed(LeftoverTally* tally, const std::string& path,
                const char* reason) {
  ++tally->stayed;
  std::vector<std::string>& first = tally->firstStayed;
  std::string row = path + ": " + reason;
  first.insert(std::upper_bound(first.begin(), first.end(), row),
               std::move(row));
  if (first.size() > kStayedShown) first.pop_back();
}

// Calls `visit` with each name in the directory open on `fd` but "." and
// "..", reading a descriptor of its own, so `fd` stays open. False if it
// can't be read.
template <typename Visit>
bool forEachName(int fd, Visit visit) {
  const int listFd = openat(fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  DIR* dir = listFd >= 0 ? fdopendir(listFd) : nullptr;
  if (dir == nullptr) {
    if (listFd >= 0) close(listFd);
    return false;
  }
  while (const struct dirent* entry = readdir(dir)) {
    if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
      visit(entry->d_name);
    }
  }
  closedir(dir);
  return true;
}

// Why the entry `name` in `dirFd` is not a file a run of `uid` made on
// `mount`, or null if it may be.
const char* notTheRuns(int dirFd, const char* name, uid_t uid,
                       const MountOf& mount, int* error) {
  struct stat st;
  if (fstatat(dirFd, name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
    *error = errno;
    return strerror(*error);
  }
  if (!S_ISREG(st.st_mode)) return failureError(kNotRegular);
  if (st.st_dev != mount.dev) return "another file system";
  if (st.st_nlink != 1) return failureError(kOtherLinks);
  if (st.st_uid != uid) return failureError(kOtherOwner);
  return nullptr;
}

// Removes what a run could have made in the directory `name` of the working
// directory, then the directory if it is empty and the caller's.
void removeRunDirectory(int workFd, const std::string& name, uid_t uid,
                        const MountOf& mount, LeftoverTally* tally) {
  // O_NOFOLLOW: a link at a directory's name is never entered. O_NONBLOCK:
  // nor does a FIFO block.
  const int dirFd =
      openat(workFd, name.c_str(),
             O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  struct stat st;
  if (dirFd < 0 || fstat(dirFd, &st) != 0) {
    const int error = errno;
    noteStayed(tally, name,
               error == ENOTDIR || error == ELOOP ? "not a directory"
                                                  : strerror(error));
    if (dirFd >= 0) close(dirFd);
    return;
  }
  if (mountOf(dirFd, st) != mount) {
    noteStayed(tally, name, "another file system");
    close(dirFd);
    return;
  }
  const uint64_t stayedBefore = tally->stayed;
  // Entries are removed as they are read: a directory may hold millions.
  const bool listed = forEachName(dirFd, [&](const char* file) {
    int error = 0;
    const char* reason = !isFileName(file)
                             ? "not a name of a run's"
                             : notTheRuns(dirFd, file, uid, mount, &error);
    if (reason == nullptr && unlinkat(dirFd, file, 0) != 0) {
      reason = strerror(errno);
    }
    if (reason != nullptr) {
      noteStayed(tally, name + "/" + file, reason);
    } else {
      ++tally->files;
    }
  });
  if (!listed) noteStayed(tally, name, strerror(errno));
  close(dirFd);
  if (st.st_uid != uid) {
    noteStayed(tally, name, "directory of another user");
  } else if (unlinkat(workFd, name.c_str(), AT_REMOVEDIR) == 0) {
    ++tally->dirs;
  } else if (errno != ENOTEMPTY || tally->stayed == stayedBefore) {
    // A directory that holds what stays is not named again.
    noteStayed(tally, name, strerror(errno));
  }
}

}  // namespace

void removeLeftovers(int workFd, LeftoverTally* tally) {
  struct stat st;
  std::vector<std::string> dirs;
  const bool listed = forEachName(workFd, [&dirs](const char* name) {
    if (isDirName(name)) dirs.push_back(name);
  });
  if (fstat(workFd, &st) != 0 || !listed) {
    noteStayed(tally, ".", strerror(errno));
    return;
  }
  const MountOf mount = mountOf(workFd, st);
  const uid_t uid = geteuid();
  std::sort(dirs.begin(), dirs.end());
  for (const std::string& dir : dirs) {
    removeRunDirectory(workFd, dir, uid, mount, tally);
  }
}

}  // namespace treeflood
