// The console: cin, cout, wcin and wcout as four views of one standard input and one
// standard output, with the wide views converting in the encoding of the user's locale.
//
// glibc fixes a C stream's orientation (bytes or wide characters) at first use, so mixing
// narrow and wide I/O on stdin/stdout loses or garbles text. Here stdio is never used:
// all four streams get stream buffers (from input_bytes.h and output_bytes.h) that share
// one input byte buffer over the standard input and one output byte buffer over the
// standard output.
#pragma once

#include <cstddef>
#include <locale>
#include <memory>
#include <string>
#include <string_view>

#include "byte_io.h"
#include "console_conventions.h"

namespace console {

// The four views over one source and one sink, converting and formatting with `conventions`.
// attach() puts them under std::cin, std::cout, std::wcin and std::wcout; the destructor writes
// what is pending and puts the previous buffers and locales back.
class Console {
 public:
  Console(byte_io::ByteSource& source, byte_io::ByteSink& sink, Conventions conventions);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  // Also makes this the console whose conventions conventions() reports.
  void attach();
  // Writes everything pending. Returns false if this or any earlier write failed.
  bool flush();
  const Conventions& conventions() const { return conventions_; }

 private:
  struct Streams;

  Conventions conventions_;
  std::unique_ptr<Streams> streams_;
};

// The encoding and number conventions of the attached console; UTF-8 and the classic
// locale while none is attached. The matrix file is written and read with them too.
const Conventions& conventions();

// `text` in the console's encoding, for the narrow stream cout.
std::string narrowText(std::wstring_view text);

// Sets up the console over the process's standard input and output for the user's locale
// (the global locale stays the classic one); a second call does nothing. On POSIX systems a
// locale that cannot be loaded leaves the classic conventions and UTF-8 texts, with a
// warning on standard error (Windows takes its locale from the system's settings).
// The process is readied first as console_platform.h's setUpProcess() says.
void startStandardConsole();

// Writes what is pending. Returns the program's exit status: EXIT_SUCCESS, or EXIT_FAILURE
// with one line on standard error when any output could not be written (a closed pipe, a
// full device, a standard output that was closed at start). EXIT_SUCCESS before any
// start-up.
int finishStandardConsole();

// For when memory has run out: writes what is pending, then one line on standard error.
// Returns EXIT_FAILURE.
int finishWithoutMemory();

}  // namespace console
