// The console in memory: the four standard streams over a scripted input and a string, under
// a locale compiled into the build tree, for the operations' unit tests.
#pragma once

#include <cstddef>
#include <locale>
#include <string>

#include "byte_io.h"
#include "console.h"
#include "script_source.h"
#include "test_files.h"

namespace testing_support {

class StringSink final : public byte_io::ByteSink {
 public:
  bool write(const char* data, std::size_t size) override;
  std::string bytes;
  int writes = 0;
  bool fail = false;
};

// The four standard streams over a script and a string, under `locale`, for one test. Also
// resets A and B to zeros.
class MemoryConsole {
 public:
  MemoryConsole(std::string script, const std::locale& locale, bool pauses = true);
  MemoryConsole(const MemoryConsole&) = delete;
  MemoryConsole& operator=(const MemoryConsole&) = delete;
  const std::string& output();  // everything written so far
  ScriptSource source;
  StringSink sink;
  console::Console console;
};

}  // namespace testing_support
