#include "driver/result_files.h"

#include <errno.h>
#include <fcntl.h>
#include <inttypes.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include "console/output.h"
#include "work/order.h"

namespace treeflood {

namespace {

// A new file beside `path`, open for writing, its name in `temp`; -1 with
// errno set if it can't be made.
int tempBeside(const std::string& path, std::string* temp) {
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[24];
    snprintf(suffix, sizeof suffix, ".%016" PRIx64, randomSeed());
    *temp = path + suffix;
    // A plain create's mode, the umask applied by the kernel: no thread's
    // files ever see the umask changed.
    const int fd =
        open(temp->c_str(),
             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd >= 0 || errno != EEXIST) return fd;
  }
  return -1;
}

}  // namespace

bool writeFile(const std::string& path, const std::string& text) {
  std::string temp;
  const int fd = tempBeside(path, &temp);
  if (fd < 0) return false;
  bool ok = writeAll(fd, text) && fsync(fd) == 0;
  int error = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && rename(temp.c_str(), path.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    unlink(temp.c_str());
    errno = error;
  }
  return ok;
}

bool canWriteFile(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  std::string temp;
  const int fd = tempBeside(path, &temp);
  if (fd < 0) return false;
  close(fd);
  unlink(temp.c_str());
  return true;
}

}  // namespace treeflood
