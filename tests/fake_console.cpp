#include "fake_console.h"

#include <cstdlib>
#include <map>
#include <utility>

#include "matrix_state.h"

// The same glibc leak in this process, for LeakSanitizer.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_suppressions() { return "leak:argz_add_sep\n"; }

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

std::locale namedLocale(const std::string& name) {
  // Made once each: glibc keeps a little memory for every locale it loads.
  static std::map<std::string, std::locale> loaded;
  const auto found = loaded.find(name);
  if (found != loaded.end()) {
    return found->second;
  }
  ::setenv("LOCPATH", LOCALE_DIR, 1);
  return loaded.emplace(name, std::locale(name)).first->second;
}

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
  std::locale::global(locale);
  source.watched = &sink.bytes;
  A = {};
  B = {};
  console.attach();
}

MemoryConsole::~MemoryConsole() { std::locale::global(previousGlobal); }

const std::string& MemoryConsole::output() {
  console.flush();
  return sink.bytes;
}

}  // namespace testing_support
