// The console over the process's standard input and output on POSIX systems.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>

#include "console.h"

namespace console {

namespace {

class DescriptorSource final : public ByteSource {
 public:
  std::size_t read(char* buffer, std::size_t size) override {
    for (;;) {
      const ssize_t count = ::read(STDIN_FILENO, buffer, size);
      if (count >= 0) {
        return static_cast<std::size_t>(count);
      }
      if (errno != EINTR) {
        return 0;  // a read error ends the input like the end of a file
      }
    }
  }

  bool readyWithoutWaiting() override {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return ::poll(&input, 1, 0) == 1;
  }
};

class DescriptorSink final : public ByteSink {
 public:
  bool write(const char* data, std::size_t size) override {
    while (size > 0) {
      const ssize_t count = ::write(STDOUT_FILENO, data, size);
      if (count > 0) {
        data += count;
        size -= static_cast<std::size_t>(count);
      } else if (count < 0 && errno == EAGAIN) {
        pollfd output{STDOUT_FILENO, POLLOUT, 0};
        ::poll(&output, 1, -1);  // a non-blocking descriptor inherited from the shell
      } else if (count < 0 && errno == EINTR) {
        continue;
      } else {
        return false;  // nothing more can be shown; the program goes on regardless
      }
    }
    return true;
  }
};

// Never destroyed: the standard library flushes cout and wcout after main returns, and
// their buffers must still exist then.
Console* standardConsole = nullptr;

void flushStandardConsole() { standardConsole->flush(); }

}  // namespace

void startStandardConsole(const std::locale& user) {
  if (standardConsole != nullptr) {
    return;
  }
  auto* source = new DescriptorSource;
  auto* sink = new DescriptorSink;
  standardConsole = new Console(*source, *sink, user);
  std::locale::global(standardConsole->locale());
  standardConsole->attach();
  std::atexit(flushStandardConsole);
  // A file-size limit then makes a save fail with an error instead of killing the program.
  std::signal(SIGXFSZ, SIG_IGN);
}

}  // namespace console
