// libFuzzer target: arbitrary bytes as the standard input of a whole session, under a UTF-8
// and a single-byte locale, in a scratch directory so that items 7 and 8 use a real file.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string_view>

#include "session_check.h"
#include "test_support.h"

namespace {

void requireClean(std::string_view input, const char* locale, const char* charset) {
  const std::string problem =
      testing_support::checkOutput(testing_support::runSession(input, locale), charset);
  if (!problem.empty()) {
    std::fprintf(stderr, "%s under %s\n", problem.c_str(), locale);
    std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static const testing_support::TempDir scratch;
  std::filesystem::current_path(scratch.path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  requireClean(input, "ru_RU.UTF-8", "UTF-8");
  requireClean(input, "ru_RU.CP1251", "CP1251");
  return 0;
}
