#include "work/layout.h"

#include <bit>

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

}  // namespace

TreeLayout computeLayout(uint64_t nbFiles, bool interleaved) {
  TreeLayout layout;
  if (nbFiles > kNbDirs) {
    const uint64_t x = (nbFiles - 1) >> 10;
    layout.dirBits = static_cast<uint16_t>(std::bit_width(x));
    layout.nameWidth = static_cast<uint16_t>((layout.dirBits + 3) / 4);
  }
  if (interleaved) {
    layout.fileShift = 10;
    layout.fileMask = UINT64_MAX;
  } else {
    // dirBits is at most 54, so the shift is always defined.
    layout.dirShift = static_cast<uint8_t>(layout.dirBits);
    layout.fileMask = (uint64_t{1} << layout.dirBits) - 1;
  }
  return layout;
}

void dirName(unsigned dir, char* buf) {
  buf[0] = 'd';
  buf[1] = '_';
  writeHex(dir, 3, buf + 2);
  buf[5] = '\0';
}

void fileName(const TreeLayout& layout, uint64_t index, char* buf) {
  buf[0] = 'f';
  buf[1] = '_';
  writeHex((index >> layout.fileShift) & layout.fileMask, layout.nameWidth,
           buf + 2);
  buf[2 + layout.nameWidth] = '\0';
}

size_t filePath(const TreeLayout& layout, uint64_t index, char* buf) {
  dirName(dirOf(layout, index), buf);
  buf[5] = '/';
  fileName(layout, index, buf + 6);
  return 8u + layout.nameWidth;
}
