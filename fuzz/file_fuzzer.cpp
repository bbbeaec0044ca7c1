// libFuzzer target: arbitrary bytes as matrix.txt, loaded under each locale of
// testing_support::fuzzLocales. A failed load must leave A as it was; a successful one must
// survive a save and a second load unchanged.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "session_check.h"
#include "test_files.h"

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static const testing_support::TempDir scratch;
  std::filesystem::current_path(scratch.path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  for (const char* locale : testing_support::fuzzLocales) {
    const std::string problem = testing_support::checkFileLoad(bytes, locale);
    if (!problem.empty()) {
      std::fprintf(stderr, "%s under %s\n", problem.c_str(), locale);
      std::abort();
    }
  }
  return 0;
}
