// Feeds the option parser command lines made of the input's NUL-separated
// words.
#include <stddef.h>
#include <stdint.h>

#include <string>
#include <vector>

#include "driver/settings.h"

using namespace treeflood;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> words = {"treeflood"};
  std::string word;
  for (size_t i = 0; i < size && words.size() < 64; ++i) {
    if (data[i] == '\0') {
      words.push_back(word);
      word.clear();
    } else {
      word += static_cast<char>(data[i]);
    }
  }
  words.push_back(word);
  std::vector<char*> argv;
  for (std::string& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  RunSettings settings;
  ParseResult result =
      parseCommandLine(static_cast<int>(words.size()), argv.data(), &settings);
  // A command line that runs has a thread count the phases can use.
  if (result.run && (settings.threads < 1 || settings.threads > 64)) {
    __builtin_trap();
  }
  return 0;
}
