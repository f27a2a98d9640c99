// Expands report templates of the input's bytes against counts taken from
// its first bytes.
#include <stddef.h>
#include <stdint.h>
#include <string.h>

#include <string>

#include "console/report.h"

using namespace treeflood;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  uint64_t numbers[2] = {0, 0};
  size_t head = size < sizeof numbers ? size : sizeof numbers;
  memcpy(numbers, data, head);
  std::string tmpl(reinterpret_cast<const char*>(data) + head, size - head);
  uint64_t total = numbers[1];
  // Any count up to the total, the total itself included.
  uint64_t done = numbers[0] <= total ? numbers[0] : numbers[0] % (total | 1);
  std::string text = expandTemplate(tmpl, done, total, 12.5);
  // Markers only ever grow by bounded amounts: a bar is at most 256 wide.
  if (text.size() > tmpl.size() * 256 + 64) __builtin_trap();
  // Any rate, up to 20 digits, or none.
  const double rate = size % 2 ? static_cast<double>(numbers[0]) : -1;
  std::string line =
      liveLine(done, total, 12.5, rate, static_cast<int>(size), true);
  if (size > 0 && line.size() > size - 1) __builtin_trap();
  return 0;
}
