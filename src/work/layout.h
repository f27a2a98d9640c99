// The shape of the tree: a power of two of directories, 1024 unless the run
// says otherwise, named d_000 to d_3ff under the working directory, each
// holding a contiguous block of file numbers, or every Nth number.
#ifndef TREEFLOOD_WORK_LAYOUT_H_
#define TREEFLOOD_WORK_LAYOUT_H_

#include <stddef.h>
#include <stdint.h>

namespace treeflood {

const unsigned kDefaultDirs = 1024;
const unsigned kMaxDirs = 65536;

// Room for the longest path, "d_xxxx/f_" and 16 hex digits (one directory
// of 2^64 - 1 files), and a terminator.
const size_t kPathSize = 32;
// Room for the longest directory name, "d_xxxx", and a terminator.
const size_t kDirNameSize = 8;

struct TreeLayout {
  // Low bits of a file number that select the file inside its directory, in
  // blocks; a directory holds at most 2^dirBits files either way.
  uint16_t dirBits = 0;
  // Hexadecimal digits of the file part of a name, and of a directory's.
  uint16_t nameWidth = 1;
  uint16_t dirWidth = 3;
  // A file's directory is (index >> dirShift) & dirMask, and its number in
  // there (index >> fileShift) & fileMask: in blocks, the high bits and the
  // low dirBits; interleaved, the low bits that count the directories and
  // the rest.
  uint8_t dirShift = 0, fileShift = 0;
  uint32_t dirs = kDefaultDirs;
  uint64_t dirMask = kDefaultDirs - 1, fileMask = 0;
};

// How file numbers spread over the directories: in blocks, each directory
// holding consecutive numbers and the last ones empty when the files are few;
// interleaved, file i in directory i mod dirs, numbered i / dirs there, so
// that any number of files made (under a time limit) spreads over every
// directory.
enum class Spread { Blocks, Interleaved };

// The layout for `nbFiles` files over `dirs` directories, a power of two up
// to kMaxDirs: the fewest bits per directory that fit every file number.
// Directory names have as many hex digits as dirs - 1 needs, and never fewer
// than 3.
TreeLayout computeLayout(uint64_t nbFiles, Spread spread = Spread::Blocks,
                         unsigned dirs = kDefaultDirs);

// Writes "d_" and the layout.dirWidth hex digits of directory `dir` and a
// terminator into `buf`, which holds kDirNameSize bytes.
void dirName(const TreeLayout& layout, unsigned dir, char* buf);

// The directory that holds file `index`.
inline unsigned dirOf(const TreeLayout& layout, uint64_t index) {
  return static_cast<unsigned>((index >> layout.dirShift) & layout.dirMask);
}

// Writes the name of file `index` inside its directory, "f_%0*llx", and its
// terminator into `buf`, which holds at least layout.nameWidth + 3 bytes.
void fileName(const TreeLayout& layout, uint64_t index, char* buf);

// Writes the path of file `index`, "d_%0*x/f_%0*llx", and its terminator
// into `buf`, which holds kPathSize bytes. Returns the path's length.
size_t filePath(const TreeLayout& layout, uint64_t index, char* buf);

// Whether `name` is one a run may give a directory, "d_" and 3 or 4
// lower-case hex digits (the widths of every count of directories), or a
// file, "f_" and 1 to 16 of them.
bool isDirName(const char* name);
bool isFileName(const char* name);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_LAYOUT_H_
