// libFuzzer target: arbitrary bytes as the standard input of a whole session, under one of
// the locales of testing_support::fuzzLocales, picked by the first byte, in a fresh directory
// so that items 7 and 8 meet no file of an earlier input. Every turn of the menu is checked
// against a model. One locale an input, not all of them: the fuzzer then learns which input
// reaches what under which encoding, and runs four times the inputs. (The corpus replay in
// the tests runs every input under every locale.)
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <iterator>
#include <string_view>

#include "session_check.h"
#include "test_files.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerInitialize(int* /*argc*/, char*** /*argv*/) {
  static const testing_support::TempDir scratch;
  fs::current_path(scratch.path());
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view input(reinterpret_cast<const char*>(data), size);
  const auto& locales = testing_support::fuzzLocales;
  const char* locale = locales[size == 0 ? 0 : data[0] % std::size(locales)];
  fs::create_directory("run");
  fs::current_path("run");
  const std::string problem = testing_support::checkSession(input, locale);
  fs::current_path("..");
  fs::remove_all("run");
  if (!problem.empty()) {
    std::fprintf(stderr, "%s under %s\n", problem.c_str(), locale);
    std::abort();
  }
  return 0;
}
