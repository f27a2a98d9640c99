#include "driver/system.h"

#include <stdio.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

namespace treeflood {

namespace {

// Unescapes the octal escapes (\040 for a blank) of /proc/self/mountinfo.
std::string unescapeMountPath(const std::string& text) {
  auto octal = [](char c) { return c >= '0' && c <= '7'; };
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 3 < text.size() && octal(text[i + 1]) &&
        octal(text[i + 2]) && octal(text[i + 3])) {
      out += static_cast<char>((text[i + 1] - '0') * 64 +
                               (text[i + 2] - '0') * 8 + (text[i + 3] - '0'));
      i += 3;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string cpuModel() {
  std::ifstream cpuinfo("/proc/cpuinfo");
  std::string line;
  while (std::getline(cpuinfo, line)) {
    size_t colon = line.find(':');
    if (line.compare(0, 10, "model name") == 0 && colon != std::string::npos) {
      return line.substr(line.find_first_not_of(' ', colon + 1));
    }
  }
  return "";
}

}  // namespace

MountEntry mountAbove(std::istream& mountinfo, const std::string& dir) {
  std::string line, best;
  MountEntry entry;
  while (std::getline(mountinfo, line)) {
    // Fields: id parent major:minor root mountpoint options [optional...] -
    // type source super-options.
    std::istringstream fields(line);
    std::string id, parent, device, root, point, options;
    fields >> id >> parent >> device >> root >> point >> options;
    point = unescapeMountPath(point);
    bool above = dir == point || (dir.compare(0, point.size(), point) == 0 &&
                                  (point == "/" || dir[point.size()] == '/'));
    if (!above || point.size() < best.size()) continue;
    size_t dash = line.find(" - ");
    if (dash == std::string::npos) continue;
    std::istringstream rest(line.substr(dash + 3));
    best = point;
    entry = MountEntry();
    entry.options = options;
    rest >> entry.type >> entry.source >> entry.superOptions;
    entry.source = unescapeMountPath(entry.source);
  }
  return entry;
}

SystemInfo systemInfo(int dirFd, const std::string& dir) {
  SystemInfo info;
  char text[4096];
  if (gethostname(text, sizeof text) == 0) info.hostname = text;
  struct utsname name;
  if (uname(&name) == 0) info.kernel = name.release;
  info.cpuModel = cpuModel();
  info.cpus = sysconf(_SC_NPROCESSORS_ONLN);
  std::ifstream mounts("/proc/self/mountinfo");
  info.mount = mountAbove(mounts, dir);
  struct statfs fs;
  if (fstatfs(dirFd, &fs) == 0) {
    info.blockSize = static_cast<int64_t>(fs.f_bsize);
    if (info.mount.type.empty()) {
      snprintf(text, sizeof text, "0x%lx",
               static_cast<unsigned long>(fs.f_type));
      info.mount.type = text;
    }
  }
  struct statvfs vfs;
  if (fstatvfs(dirFd, &vfs) == 0) {
    info.freeBytes = static_cast<int64_t>(vfs.f_bavail * vfs.f_frsize);
    info.freeInodes = static_cast<int64_t>(vfs.f_favail);
  }
  return info;
}

bool spaceInUse(int dirFd, SpaceInUse* space) {
  struct statvfs vfs;
  if (fstatvfs(dirFd, &vfs) != 0) return false;
  space->bytes =
      static_cast<int64_t>((vfs.f_blocks - vfs.f_bfree) * vfs.f_frsize);
  space->inodes = static_cast<int64_t>(vfs.f_files - vfs.f_ffree);
  space->inodesCounted = vfs.f_files != 0;
  return true;
}

}  // namespace treeflood
