// The console in memory, for the unit tests.
#include "fake_console.h"

#include <cstdlib>
#include <map>
#include <utility>

#include "matrix_state.h"

// glibc's own leaks, as lsan.supp lists them for the program too, for LeakSanitizer in this
// process.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_options() { return "suppressions=" LSAN_SUPPRESSIONS; }

namespace testing_support {

namespace {

// Made once for each named locale: its tables cost more than a short session.
console::Conventions conventionsOf(const std::locale& user) {
  static std::map<std::string, console::Conventions> made;
  if (user.name() == "*") {
    return console::conventionsFor(user);
  }
  auto found = made.find(user.name());
  if (found == made.end()) {
    found = made.emplace(user.name(), console::conventionsFor(user)).first;
  }
  return found->second;
}

}  // namespace

bool StringSink::write(const char* data, std::size_t size) {
  ++writes;
  if (fail) {
    return false;
  }
  bytes.append(data, size);
  return true;
}

MemoryConsole::MemoryConsole(std::string script, const std::locale& locale, bool pauses)
    : source(std::move(script), {.pauses = pauses}), console(source, sink, conventionsOf(locale)) {
  source.watched = &sink.bytes;
  A = {};
  B = {};
  console.attach();
}

const std::string& MemoryConsole::output() {
  console.flush();
  return sink.bytes;
}

}  // namespace testing_support
