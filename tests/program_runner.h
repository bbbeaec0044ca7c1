// Running the built matrix-menu for the end-to-end tests: all at once through pipes
// (runProgram), or driven as a person would, waiting for each text before typing
// (Dialogue), through pipes or a pseudo-terminal; with the process's limits and standard
// descriptors in any state a test needs.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// The environment for the program: only the given variables, and LOCPATH with the tests'
// locales unless they name another.
std::vector<std::string> environmentWith(std::vector<std::string> variables);
// The same for a program under Wine, which also needs the test's own PATH, HOME and WINE*.
std::vector<std::string> windowsEnvironmentWith(std::vector<std::string> variables);

// Limits for the program's process, and the state of its standard descriptors.
struct Restrictions {
  long fileSizeLimit = -1;               // RLIMIT_FSIZE in bytes, as prlimit sets it; -1 for none
  long addressSpaceLimit = -1;           // RLIMIT_AS in bytes; -1 for none
  bool unprivileged = false;             // run as user nobody when the tests run as root
  const char* standardOutput = nullptr;  // a file (made if need be) instead of the pipe; ""
                                         // for a closed one
  bool closedInput = false;              // standard input closed at start
  bool nonBlockingInput = false;         // O_NONBLOCK on the standard input pipe
  bool nonBlockingOutput = false;        // O_NONBLOCK on the standard output pipe
  bool readerGone = false;               // nobody reads the output pipe: writes meet EPIPE
  bool noDevNull = false;                // an empty /dev (needs root: a mount namespace)
  bool newSession = false;               // a session of its own, with no controlling terminal
  std::vector<std::string> tracer = {};  // a command to run the program under (strace ...)
  const char* windowsProgram = nullptr;  // run this .exe under Wine instead
};

// Whether strace is there to watch and tamper with the program's system calls; a tracer
// that runs it with `options`, split at spaces.
bool haveStrace();
std::vector<std::string> strace(const std::string& options);

// Why the program cannot run here as `restrictions` ask, for a test to say when it skips: an
// empty /dev needs root and a mount namespace, which a chroot may not give; a run as nobody
// needs a build tree that nobody may reach (not under /root). Empty when it can.
std::string cannotRun(const Restrictions& restrictions);

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal
};

// Runs matrix-menu in `workDir` with `input` on a pipe as standard input, until it ends.
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
  // Whether the program goes to sleep, as it does waiting for input, rather than end.
  bool sleeps(std::chrono::milliseconds deadline = std::chrono::seconds(10)) const;
  // The most resident memory the program has had so far (VmHWM, Linux), in KiB.
  long peakKilobytes() const;
  const std::string& transcript() const { return transcript_; }

 private:
  bool readSome(std::chrono::steady_clock::time_point until);
  bool waitUntil(const std::function<bool()>& shown, std::chrono::milliseconds deadline);

  Channel channel_;
  bool traced_;
  pid_t pid_ = -1;
  int input_ = -1;
  int output_ = -1;
  std::string transcript_;
};

// A started matrix-menu, and the test's ends of its standard streams: on pipes, its standard
// error too where `errors` asks for it (-1 otherwise), or all on one pseudo-terminal.
struct Started {
  pid_t pid;
  int input;
  int output;
  int errors;
};
Started startProgram(Dialogue::Channel channel, bool errors,
                     const std::vector<std::string>& environment,
                     const std::filesystem::path& workDir, const Restrictions& restrictions);

// A status from waitpid as Outcome::status gives it: the exit status, or 128 + the signal.
int exitStatusOf(int waitStatus);

}  // namespace testing_support
