// The standard input and output on POSIX systems, as file descriptors 0 and 1, and the
// process readied for them.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>

#include "console_platform.h"

namespace console {

namespace {

class DescriptorSource final : public byte_io::ByteSource {
 public:
  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    for (;;) {
      // A terminal left in non-canonical mode with VMIN 0 reads 0 bytes while nothing is
      // typed: there only a read that poll has called ready may tell the end of input.
      if (terminal_) {
        waitForInput();
      }
      const ssize_t count = ::read(STDIN_FILENO, buffer, size);
      if (count >= 0) {
        return count;
      }
      if (errno == EAGAIN) {
        // A non-blocking descriptor, left so by another program sharing it: no input yet is
        // not the end of input.
        waitForInput();
      } else if (errno != EINTR) {
        return byte_io::readError;
      }
    }
  }

  bool readyWithoutWaiting() override {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    return ::poll(&input, 1, 0) == 1;
  }

 private:
  static void waitForInput() {
    pollfd input{STDIN_FILENO, POLLIN, 0};
    while (::poll(&input, 1, -1) < 0 && errno == EINTR) {
    }
  }

  bool terminal_ = ::isatty(STDIN_FILENO) == 1;
};

class DescriptorSink final : public byte_io::ByteSink {
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
        return false;  // nothing more can be shown; the session goes on regardless
      }
    }
    return true;
  }
};

// The root directory as a placeholder: a directory can be neither read nor written through
// a descriptor, and Linux's O_PATH asks not even for the right to list it.
#ifdef O_PATH
constexpr int placeholderFlags = O_PATH | O_DIRECTORY;
#else
constexpr int placeholderFlags = O_RDONLY | O_DIRECTORY;
#endif

// A closed standard descriptor would be taken by the next file opened, and console output
// meant for it would land in the matrix file: each one gets /dev/null instead, or where
// there is none, any descriptor that holds the number (the root directory, which can be
// neither read nor written through it). Returns whether the standard output was closed.
bool occupyClosedDescriptors() {
  bool outputClosed = false;
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int placeholder = ::open("/dev/null", O_RDWR);
      if (placeholder < 0) {
        placeholder = ::open("/", placeholderFlags);
      }
      // open() takes the lowest free number, which is this one; should it not, move it.
      if (placeholder >= 0 && placeholder != fd) {
        ::dup2(placeholder, fd);
        ::close(placeholder);
      }
      outputClosed = outputClosed || fd == STDOUT_FILENO;
    }
  }
  return outputClosed;
}

}  // namespace

platform::ProcessStart platform::setUpProcess() {
  const bool outputClosed = occupyClosedDescriptors();
  // A reader that went away makes writes fail with EPIPE, and a file-size limit with EFBIG,
  // instead of killing the program, so the rest of the input, saves included, is still
  // carried out.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  return {outputClosed};
}

// The bytes go as they are: a terminal takes them in the locale's encoding.
byte_io::ByteSource& platform::standardInput(const Codec& /*codec*/) {
  return *new DescriptorSource;
}

byte_io::ByteSink& platform::standardOutput(const Codec& /*codec*/) { return *new DescriptorSink; }

}  // namespace console
