// What the files hold, and what a file read back that doesn't hold it has
// instead. Under --data zeros every file is zeros. Under --data random each
// file reads, from a place its number fixes, a pool of bytes that the run's
// seed fixes, and the first 16 bytes of each of its 512-byte blocks are the
// block's stamp: the file's number and the block's offset, as two
// little-endian 64-bit words. The bytes don't compress, and a block found
// elsewhere names where it belongs.
#ifndef TREEFLOOD_WORK_CONTENT_H_
#define TREEFLOOD_WORK_CONTENT_H_

#include <stddef.h>
#include <stdint.h>

#include "work/owners.h"

namespace treeflood {

// The pool of --data random: made once per run, read-only while the phases
// run, the same on every process that makes it from the same seed.
struct RandomData {
  uint64_t seed = 0;
  Mapping pool;
};

// Makes `data`'s pool for `seed` (a few milliseconds, 2 MiB). Returns false if
// the memory can't be had.
bool makeRandomData(uint64_t seed, RandomData* data);

// The most one call of fillData and describeDifference may cover.
const size_t kMaxSpan = size_t{1} << 20;

// Writes bytes `offset` to `offset` + `length` - 1 of file `file` into `to`;
// `length` is at most kMaxSpan.
void fillData(const RandomData& data, uint64_t file, uint64_t offset,
              size_t length, char* to);

// Whether `got`, `length` bytes, are bytes `offset` to `offset` + `length` -
// 1 of file `file`: what fillData would write, compared in place.
bool holdsData(const RandomData& data, uint64_t file, uint64_t offset,
               const char* got, size_t length);

// How a file read back differs from what it should hold: the kind, one of the
// failure codes below, and where.
struct Difference {
  int kind = 0;
  uint64_t at = 0;  // the first byte that differs; the length read if short
  // The last byte of the run of blocks that differ alike (zeros, misplaced);
  // the length asked for if short or long.
  uint64_t last = 0;
  // A misplaced block's file and offset: where its stamp says it belongs.
  uint64_t source = 0, sourceAt = 0;
};

// The kinds of difference, among the failure codes of the workers.
const int kContentDiffers = -4;  // bytes that are none of the below
const int kReadAsZeros = -5;     // whole blocks of zeros: a hole
const int kMisplaced = -6;       // blocks of another file or place
const int kShortFile = -7;
const int kLongFile = -8;

// Given `got` and `want`, `length` bytes at `offset` (a multiple of 512) of
// a file of `nbFiles` that differ, says how: a run of zero blocks; under
// random data (`data` not null), a run of blocks whose stamps name another
// place and which hold that place's bytes; or else the first differing byte.
Difference describeDifference(const RandomData* data, uint64_t nbFiles,
                              uint64_t offset, const char* got,
                              const char* want, size_t length);

// How many bytes at the start of `bytes`, of `length`, are whole blocks of
// zeros, counting a last short block that is all zeros.
size_t zeroBlocks(const char* bytes, size_t length);

}  // namespace treeflood

#endif  // TREEFLOOD_WORK_CONTENT_H_
