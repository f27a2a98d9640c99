#include "work/layout.h"

#include <algorithm>
#include <bit>

namespace treeflood {

namespace {

const char kHexDigits[] = "0123456789abcdef";

// Writes the low `width` hexadecimal digits of `value`, zero-padded. A small
// formatter of its own because it runs once per file in every phase.
void writeHex(uint64_t value, unsigned width, char* out) {
  for (unsigned i = width; i-- > 0;) {
    out[i] = kHexDigits[value & 0xf];
    value >>= 4;
  }
}

// Whether `name` is `kind`, '_' and `fewest` to `most` lower-case hex digits.
bool hexName(const char* name, char kind, size_t fewest, size_t most) {
  if (name[0] != kind || name[1] != '_') return false;
  size_t digits = 0;
  for (const char* c = name + 2; *c != '\0'; ++c, ++digits) {
    if (!((*c >= '0' && *c <= '9') || (*c >= 'a' && *c <= 'f'))) return false;
  }
  return digits >= fewest && digits <= most;
}

}  // namespace

TreeLayout computeLayout(uint64_t nbFiles, Spread spread, unsigned dirs) {
  const bool interleaved = spread == Spread::Interleaved;
  TreeLayout layout;
  const unsigned dirLog = static_cast<unsigned>(std::countr_zero(dirs));
  layout.dirs = dirs;
  layout.dirMask = dirs - 1;
  layout.dirWidth = static_cast<uint16_t>(
      std::max(3, static_cast<int>(std::bit_width(layout.dirMask) + 3) / 4));
  if (nbFiles > dirs) {
    const uint64_t x = (nbFiles - 1) >> dirLog;
    layout.dirBits = static_cast<uint16_t>(std::bit_width(x));
    layout.nameWidth = static_cast<uint16_t>((layout.dirBits + 3) / 4);
  }
  if (interleaved) {
    layout.fileShift = static_cast<uint8_t>(dirLog);
    layout.fileMask = UINT64_MAX;
  } else if (layout.dirBits == 64) {
    // One directory holds every number: its mask is 0, and a shift by 64
    // would be undefined.
    layout.dirShift = 63;
    layout.fileMask = UINT64_MAX;
  } else {
    layout.dirShift = static_cast<uint8_t>(layout.dirBits);
    layout.fileMask = (uint64_t{1} << layout.dirBits) - 1;
  }
  return layout;
}

void dirName(const TreeLayout& layout, unsigned dir, char* buf) {
  buf[0] = 'd';
  buf[1] = '_';
  writeHex(dir, layout.dirWidth, buf + 2);
  buf[2 + layout.dirWidth] = '\0';
}

void fileName(const TreeLayout& layout, uint64_t index, char* buf) {
  buf[0] = 'f';
  buf[1] = '_';
  writeHex((index >> layout.fileShift) & layout.fileMask, layout.nameWidth,
           buf + 2);
  buf[2 + layout.nameWidth] = '\0';
}

size_t filePath(const TreeLayout& layout, uint64_t index, char* buf) {
  dirName(layout, dirOf(layout, index), buf);
  const size_t dirLength = 2u + layout.dirWidth;
  buf[dirLength] = '/';
  fileName(layout, index, buf + dirLength + 1);
  return dirLength + 3 + layout.nameWidth;
}

bool isDirName(const char* name) { return hexName(name, 'd', 3, 4); }

bool isFileName(const char* name) { return hexName(name, 'f', 1, 16); }

}  // namespace treeflood
