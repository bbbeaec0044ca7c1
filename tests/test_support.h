// Helpers shared by the tests: locales, an in-memory console, and running the built program.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <locale>
#include <string>
#include <string_view>
#include <vector>

#include "console.h"

namespace testing_support {

// A locale compiled into the build tree (see tests/CMakeLists.txt).
std::locale namedLocale(const std::string& name);

// `utf8` recoded into `charset` with iconv, an oracle independent of the program's own codec.
std::string recode(std::string_view utf8, const char* charset);

// A fresh directory, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Input from a string. Each '\x01' in the script marks a point where a person would stop
// typing: read() never returns bytes past it together with bytes before it, and
// readyWithoutWaiting() is false there. The marker itself is not part of the input.
class ScriptSource final : public console::ByteSource {
 public:
  // With `pauses` false, '\x01' is an input byte like any other.
  explicit ScriptSource(std::string script, bool pauses = true)
      : script_(std::move(script)), pauses_(pauses) {}
  std::ptrdiff_t read(char* buffer, std::size_t size) override;
  bool readyWithoutWaiting() override;
  int waits() const { return waits_; }
  // What `watched` had received each time a read had to wait.
  std::vector<std::string> shownAtWaits;
  const std::string* watched = nullptr;

 private:
  std::string script_;
  bool pauses_;
  std::size_t pos_ = 0;
  int waits_ = 0;
};

class StringSink final : public console::ByteSink {
 public:
  bool write(const char* data, std::size_t size) override;
  std::string bytes;
  int writes = 0;
  bool fail = false;
};

// The four standard streams over a script and a string, under `locale`, for one test; that
// locale is the global one meanwhile, as in the program. Also resets A and B to zeros.
class MemoryConsole {
 public:
  MemoryConsole(std::string script, const std::locale& locale, bool pauses = true);
  ~MemoryConsole();
  MemoryConsole(const MemoryConsole&) = delete;
  MemoryConsole& operator=(const MemoryConsole&) = delete;
  const std::string& output();  // everything written so far
  ScriptSource source;
  StringSink sink;
  console::Console console;
  std::locale previousGlobal;
};

// Runs the test in a fresh working directory, as the program runs in the user's.
class InTempDirectory {
 public:
  InTempDirectory();
  ~InTempDirectory();
  InTempDirectory(const InTempDirectory&) = delete;
  InTempDirectory& operator=(const InTempDirectory&) = delete;
  const std::filesystem::path& path() const { return dir_.path(); }

 private:
  TempDir dir_;
  std::filesystem::path previous_;
};

std::string readFile(const std::filesystem::path& path);
void writeFile(const std::filesystem::path& path, const std::string& bytes);
// The names in a directory, sorted.
std::vector<std::string> listDirectory(const std::filesystem::path& path);

// The texts of the program as UTF-8, to build expected transcripts.
std::string menuText();
std::string prompt(int row, int column);
inline constexpr std::string_view invalidChoice = "Неверный выбор! Попробуйте снова.\n";
inline constexpr std::string_view invalidValue =
    "Неверный ввод. Пожалуйста, введите целое число.\n";

// The environment for the program: only the given variables, and LOCPATH with the tests'
// locales unless they name another.
std::vector<std::string> environmentWith(std::vector<std::string> variables);
// The same for a program under Wine, which also needs the test's own PATH, HOME and WINE*.
std::vector<std::string> windowsEnvironmentWith(std::vector<std::string> variables);

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

// Limits for the program's process, and the state of its standard descriptors.
struct Restrictions {
  long fileSizeLimit = -1;               // RLIMIT_FSIZE in bytes, as prlimit sets it; -1 for none
  bool unprivileged = false;             // run as user nobody when the tests run as root
  const char* standardOutput = nullptr;  // a file (made if need be) instead of the pipe; ""
                                         // for a closed one
  bool closedInput = false;              // standard input closed at start
  bool nonBlockingInput = false;         // O_NONBLOCK on the standard input pipe
  bool nonBlockingOutput = false;        // O_NONBLOCK on the standard output pipe
  bool readerGone = false;               // nobody reads the output pipe: writes meet EPIPE
  bool noDevNull = false;                // an empty /dev (needs root: a mount namespace)
  std::vector<std::string> tracer;       // a command to run the program under (strace ...)
  const char* windowsProgram = nullptr;  // run this .exe under Wine instead
};

// Runs matrix-menu in `workDir` with `input` on a pipe as standard input.
Outcome runProgram(const std::string& input, const std::vector<std::string>& environment,
                   const std::filesystem::path& workDir, const Restrictions& restrictions = {});
Outcome runProgram(const std::string& input, const std::vector<std::string>& environment);

// A running matrix-menu driven as a person would: wait for a text, then type.
class Dialogue {
 public:
  // A terminal in canonical mode, or one left in non-canonical mode with VMIN and VTIME 0,
  // where a read returns at once with nothing while nothing is typed.
  enum class Channel { pipes, terminal, rawTerminal };
  Dialogue(Channel channel, const std::vector<std::string>& environment,
           const std::filesystem::path& workDir, const Restrictions& restrictions = {});
  ~Dialogue();
  Dialogue(const Dialogue&) = delete;
  Dialogue& operator=(const Dialogue&) = delete;

  // Reads output until everything shown so far ends with `text`. False on deadline or exit.
  bool waitFor(std::string_view text,
               std::chrono::milliseconds deadline = std::chrono::seconds(10));
  // The same until `text` shows anywhere, for a terminal that adds escape sequences.
  bool waitToSee(std::string_view text,
                 std::chrono::milliseconds deadline = std::chrono::seconds(30));
  void type(std::string_view bytes) const;
  void endInput();                // Ctrl-D on a terminal, closing the pipe otherwise
  int exitStatus();               // waits for the end of output and the process
  void signal(int number) const;  // to the program, also when it runs under a tracer
  // The most resident memory the program has had so far (VmHWM, Linux), in KiB.
  long peakKilobytes() const;
  const std::string& transcript() const { return transcript_; }

 private:
  bool readSome(std::chrono::steady_clock::time_point until);

  Channel channel_;
  bool traced_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string transcript_;
};

}  // namespace testing_support
