// The machine and the file system a run works on, as the results record them.
#ifndef TREEFLOOD_DRIVER_SYSTEM_H_
#define TREEFLOOD_DRIVER_SYSTEM_H_

#include <stdint.h>

#include <istream>
#include <string>

namespace treeflood {

// One line of /proc/self/mountinfo.
struct MountEntry {
  std::string type;          // "ext4"
  std::string source;        // "/dev/sda1"
  std::string options;       // the mount's own ("rw,relatime")
  std::string superOptions;  // the file system's ("rw,errors=remount-ro")
};

// The entry mounted deepest above the absolute path `dir`, read from
// `mountinfo` in the form of /proc/self/mountinfo; all empty if none. When
// one point is mounted over, the last mount wins.
MountEntry mountAbove(std::istream& mountinfo, const std::string& dir);

struct SystemInfo {
  std::string hostname;
  std::string kernel;     // uname's release
  std::string cpuModel;   // /proc/cpuinfo's first "model name"; may be empty
  long cpus = 0;          // processors online
  MountEntry mount;       // type is statfs's magic ("0x58465342") if unlisted
  int64_t blockSize = 0;  // statfs's f_bsize
  int64_t freeBytes = 0;  // available to the user
  int64_t freeInodes = 0;
};

// Reads SystemInfo for the directory open on `dirFd`, whose absolute path is
// `dir`.
SystemInfo systemInfo(int dirFd, const std::string& dir);

// What the file system of `dirFd` counts in use, for everyone: bytes
// (blocks not free, of f_frsize) and inodes, which some file systems (btrfs)
// don't count. False with errno set on failure.
struct SpaceInUse {
  int64_t bytes = 0;
  int64_t inodes = 0;
  bool inodesCounted = true;  // f_files is not 0
};
bool spaceInUse(int dirFd, SpaceInUse* space);

}  // namespace treeflood

#endif  // TREEFLOOD_DRIVER_SYSTEM_H_
