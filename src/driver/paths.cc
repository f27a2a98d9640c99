#include "driver/paths.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include "work/layout.h"

namespace treeflood {

namespace {

// `path` with its directory resolved, so that two names of one file compare
// equal before the file exists; `path` itself when the directory does not.
std::string canonicalPath(const std::string& path) {
  const size_t slash = path.rfind('/');
  const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
  char* real = realpath(dir.c_str(), nullptr);
  if (real == nullptr) return path;
  std::string resolved = real;
  free(real);
  return (resolved == "/" ? "" : resolved) + path.substr(slash);
}

// `path` with every link resolved, its last part's too where that is a
// link to nothing yet, so that it names what an open would create.
std::string resolvedPath(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    char* real = realpath(path.c_str(), nullptr);
    if (real != nullptr) {
      path = real;
      free(real);
      return path;
    }
    char target[4096];
    const ssize_t n = readlink(path.c_str(), target, sizeof target - 1);
    if (n <= 0) break;
    target[n] = '\0';
    path = target[0] == '/' ? target
                            : path.substr(0, path.rfind('/') + 1) + target;
  }
  return canonicalPath(path);
}

}  // namespace

std::string absolutePath(const std::string& path) {
  char cwd[4096];
  if (path.empty() || path[0] == '/' || getcwd(cwd, sizeof cwd) == nullptr) {
    return path;
  }
  return std::string(cwd) + "/" + path;
}

bool inTree(int workFd, const std::string& path) {
  struct stat work;
  if (fstat(workFd, &work) != 0) return false;
  auto isWork = [&work](const std::string& dir) {
    struct stat st;
    return stat(dir.empty() ? "/" : dir.c_str(), &st) == 0 &&
           st.st_dev == work.st_dev && st.st_ino == work.st_ino;
  };
  const std::string real = resolvedPath(path);
  const size_t slash = real.rfind('/');
  if (slash == std::string::npos) return false;
  const std::string dir = real.substr(0, slash);
  const std::string name = real.substr(slash + 1);
  if (isWork(dir)) return isDirName(name.c_str()) || isFileName(name.c_str());
  const size_t up = dir.rfind('/');
  return up != std::string::npos && isDirName(dir.substr(up + 1).c_str()) &&
         isWork(dir.substr(0, up));
}

bool sameFile(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0) {
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  }
  return canonicalPath(a) == canonicalPath(b);
}

}  // namespace treeflood
