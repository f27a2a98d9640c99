// The shape of the tree: 1024 directories d_000 to d_3ff under the working
// directory, each holding a contiguous block of file numbers, or every 1024th
// number.
#ifndef TREEFLOOD_WORK_LAYOUT_H_
#define TREEFLOOD_WORK_LAYOUT_H_

#include <stddef.h>
#include <stdint.h>

const unsigned kNbDirs = 1024;

// Room for the longest path, "d_xxx/f_" and 14 hex digits (counts up to
// 2^64 - 1), and a terminator.
const size_t kPathSize = 32;

struct TreeLayout {
  // Low bits of a file number that select the file inside its directory, in
  // blocks; a directory holds at most 2^dirBits files either way.
  uint16_t dirBits = 0;
  // Hexadecimal digits of the file part of a name.
  uint16_t nameWidth = 1;
  // A file's directory is (index >> dirShift) & dirMask, and its number in
  // there (index >> fileShift) & fileMask: in blocks, the high bits and the
  // low dirBits; interleaved, the low 10 bits and the rest.
  uint8_t dirShift = 0, fileShift = 0;
  uint64_t dirMask = kNbDirs - 1, fileMask = 0;
};

// The layout for `nbFiles` files: the fewest bits per directory that fit
// every file number below 1024 directories. In blocks, each directory holds
// consecutive numbers and the last ones stay empty when the files are few;
// `interleaved`, file i is in directory i mod 1024, numbered i / 1024 there,
// so that any number of files made spreads over every directory.
TreeLayout computeLayout(uint64_t nbFiles, bool interleaved = false);

// Writes "d_%03x" of directory `dir` (below 1024) and its terminator into
// `buf`, which holds at least 6 bytes.
void dirName(unsigned dir, char* buf);

// The directory that holds file `index`.
inline unsigned dirOf(const TreeLayout& layout, uint64_t index) {
  return static_cast<unsigned>((index >> layout.dirShift) & layout.dirMask);
}

// Writes the name of file `index` inside its directory, "f_%0*llx", and its
// terminator into `buf`, which holds at least layout.nameWidth + 3 bytes.
void fileName(const TreeLayout& layout, uint64_t index, char* buf);

// Writes the path of file `index`, "d_%03x/f_%0*llx", and its terminator into
// `buf`, which holds at least layout.nameWidth + 9 bytes. Returns the path's
// length, 8 + layout.nameWidth.
size_t filePath(const TreeLayout& layout, uint64_t index, char* buf);

#endif  // TREEFLOOD_WORK_LAYOUT_H_
