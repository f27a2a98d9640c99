#include "work/content.h"

#include <endian.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

namespace treeflood {

namespace {

// The pool's length: a power of two, and past the compression window of any
// file system, so that a file's bytes never repeat within one.
const size_t kPoolSize = size_t{1} << 20;
const size_t kBlock = 512;
const size_t kStampSize = 16;

// SplitMix64's finaliser: a bijection that mixes every bit into every bit.
uint64_t mix(uint64_t x) {
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9;
  x = (x ^ (x >> 27)) * 0x94d049bb133111eb;
  return x ^ (x >> 31);
}

// Where file `file`'s byte 0 is in the pool.
size_t poolStart(const RandomData& data, uint64_t file) {
  return mix(data.seed ^ mix(file + 0x9e3779b97f4a7c15)) & (kPoolSize - 1);
}

// Writes the stamp of file `file`'s block at `block` into `to`, which holds
// the file's bytes from `offset` to `end` - 1, clipped to them.
void stamp(uint64_t file, uint64_t block, uint64_t offset, uint64_t end,
           char* to) {
  const uint64_t words[2] = {htole64(file), htole64(block)};
  const char* bytes = reinterpret_cast<const char*>(words);
  const uint64_t from = std::max(block, offset);
  const uint64_t until = std::min(block + kStampSize, end);
  if (from < until)
    memcpy(to + (from - offset), bytes + (from - block), until - from);
}

bool allZero(const char* bytes, size_t length) {
  return length == 0 ||
         (bytes[0] == 0 && memcmp(bytes, bytes + 1, length - 1) == 0);
}

// Whether `bytes`, the `length` bytes of a block, are those of file
// `source`'s block at `sourceAt`.
bool holdsBlock(const RandomData& data, uint64_t source, uint64_t sourceAt,
                const char* bytes, size_t length) {
  char want[kBlock];
  fillData(data, source, sourceAt, length, want);
  return memcmp(bytes, want, length) == 0;
}

}  // namespace

bool makeRandomData(uint64_t seed, RandomData* data) {
  // The pool, then its first kMaxSpan bytes again, so that no span wraps.
  if (!data->pool.map(kPoolSize + kMaxSpan)) return false;
  data->seed = seed;
  char* pool = data->pool.data();
  madvise(pool, kPoolSize + kMaxSpan, MADV_DONTFORK);
  for (size_t i = 0; i < kPoolSize; i += 8) {
    const uint64_t word = mix(seed + (i / 8 + 1) * 0x9e3779b97f4a7c15);
    memcpy(pool + i, &word, 8);
  }
  memcpy(pool + kPoolSize, pool, kMaxSpan);
  return true;
}

void fillData(const RandomData& data, uint64_t file, uint64_t offset,
              size_t length, char* to) {
  memcpy(
      to,
      data.pool.data() + ((poolStart(data, file) + offset) & (kPoolSize - 1)),
      length);
  const uint64_t end = offset + length;
  for (uint64_t block = offset / kBlock * kBlock; block < end;
       block += kBlock) {
    stamp(file, block, offset, end, to);
  }
}

bool holdsData(const RandomData& data, uint64_t file, uint64_t offset,
               const char* got, size_t length) {
  const char* pool =
      data.pool.data() + ((poolStart(data, file) + offset) & (kPoolSize - 1));
  const uint64_t end = offset + length;
  for (uint64_t at = offset; at < end;) {
    const uint64_t block = at / kBlock * kBlock;
    const uint64_t stampEnd = std::min(block + kStampSize, end);
    if (at < stampEnd) {
      char want[kStampSize];
      stamp(file, block, block, block + kStampSize, want);
      if (memcmp(got + (at - offset), want + (at - block), stampEnd - at) !=
          0) {
        return false;
      }
      at = stampEnd;
    }
    const uint64_t next = std::min(block + kBlock, end);
    if (at < next &&
        memcmp(got + (at - offset), pool + (at - offset), next - at) != 0) {
      return false;
    }
    at = next;
  }
  return true;
}

size_t zeroBlocks(const char* bytes, size_t length) {
  size_t zeros = 0;
  while (zeros < length) {
    const size_t block = std::min(kBlock, length - zeros);
    if (!allZero(bytes + zeros, block)) break;
    zeros += block;
  }
  return zeros;
}

Difference describeDifference(const RandomData* data, uint64_t nbFiles,
                              uint64_t offset, const char* got,
                              const char* want, size_t length) {
  size_t first = 0;
  while (first < length && got[first] == want[first]) ++first;
  const size_t block = first / kBlock * kBlock;
  const size_t zeros = zeroBlocks(got + block, length - block);
  if (zeros != 0) {
    return {kReadAsZeros, offset + block, offset + block + zeros - 1};
  }
  uint64_t words[2];
  if (data == nullptr || length - block < kStampSize) {
    return {kContentDiffers, offset + first, offset + first};
  }
  memcpy(words, got + block, sizeof words);
  const uint64_t source = le64toh(words[0]), sourceAt = le64toh(words[1]);
  // Blocks that hold, whole, those of one run of another place.
  size_t end = block;
  while (source < nbFiles && sourceAt % kBlock == 0 &&
         sourceAt < UINT64_MAX - length && end < length &&
         holdsBlock(*data, source, sourceAt + (end - block), got + end,
                    std::min(kBlock, length - end))) {
    end += kBlock;
  }
  if (end == block) return {kContentDiffers, offset + first, offset + first};
  return {kMisplaced, offset + block, offset + std::min(end, length) - 1,
          source, sourceAt};
}

}  // namespace treeflood
