// Starting the built program for the end-to-end tests: all at once through pipes, or driven
// through pipes or a pseudo-terminal.
#include "program_runner.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pty.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <utility>

#include "expected.h"
#include "test_files.h"

namespace testing_support {

namespace {

[[noreturn]] void fail(const std::string& what) {
  throw std::runtime_error(what + ": " + std::to_string(errno));
}

std::vector<char*> pointers(std::vector<std::string>& strings) {
  std::vector<char*> result;
  result.reserve(strings.size() + 1);
  for (auto& s : strings) {
    result.push_back(s.data());
  }
  result.push_back(nullptr);
  return result;
}

// Root becomes user nobody, with one supplementary group.
bool becomeNobody() {
  const gid_t group = expected::nobodysOtherGroup;
  return ::setgroups(1, &group) == 0 && ::setgid(expected::nobody) == 0 &&
         ::setuid(expected::nobody) == 0;
}

[[noreturn]] void execProgram(std::vector<std::string> environment,
                              const std::filesystem::path& workDir,
                              const Restrictions& restrictions = {}) {
  ::signal(SIGPIPE, SIG_DFL);  // as a shell would start it, whatever this process does
  if (::chdir(workDir.c_str()) != 0) {
    _exit(126);
  }
  if (restrictions.noDevNull &&
      (::unshare(CLONE_NEWNS) != 0 ||
       ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
       ::mount("none", "/dev", "tmpfs", 0, nullptr) != 0)) {
    _exit(124);
  }
  if (restrictions.newSession && ::setsid() < 0) {
    _exit(126);
  }
  if (restrictions.standardOutput != nullptr) {
    const int out = *restrictions.standardOutput == '\0'
                        ? -1
                        : ::open(restrictions.standardOutput, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (out >= 0 ? ::dup2(out, STDOUT_FILENO) < 0 : ::close(STDOUT_FILENO) != 0) {
      _exit(126);
    }
  }
  if ((restrictions.closedInput && ::close(STDIN_FILENO) != 0) ||
      (restrictions.nonBlockingInput && ::fcntl(STDIN_FILENO, F_SETFL, O_NONBLOCK) != 0) ||
      (restrictions.nonBlockingOutput && ::fcntl(STDOUT_FILENO, F_SETFL, O_NONBLOCK) != 0)) {
    _exit(126);
  }
  // A signal that dumps core (SIGQUIT) must leave no core file in the working directory.
  const rlimit noCore{0, 0};
  ::setrlimit(RLIMIT_CORE, &noCore);
  for (const auto& [resource, value] : {std::pair{RLIMIT_FSIZE, restrictions.fileSizeLimit},
                                        std::pair{RLIMIT_AS, restrictions.addressSpaceLimit}}) {
    if (value >= 0) {
      const rlimit limit{static_cast<rlim_t>(value), static_cast<rlim_t>(value)};
      ::setrlimit(resource, &limit);
    }
  }
  if (restrictions.unprivileged && ::geteuid() == 0 && !becomeNobody()) {
    _exit(125);
  }
  std::vector<std::string> arguments = restrictions.tracer;
  if (!arguments.empty()) {
    environment.emplace_back("ASAN_OPTIONS=detect_leaks=0");  // LeakSanitizer stops under ptrace
  }
  if (restrictions.windowsProgram != nullptr) {
    arguments.insert(arguments.end(), {"wine", restrictions.windowsProgram});
  } else {
    arguments.emplace_back(MATRIX_MENU_EXE);
  }
  ::execvpe(arguments[0].c_str(), pointers(arguments).data(), pointers(environment).data());
  _exit(127);
}

}  // namespace

std::vector<std::string> environmentWith(std::vector<std::string> variables) {
  if (std::none_of(variables.begin(), variables.end(),
                   [](const std::string& v) { return v.starts_with("LOCPATH="); })) {
    variables.insert(variables.begin(), std::string("LOCPATH=") + LOCALE_DIR);
  }
  // Only matters for a sanitized build: glibc's own leak when LOCPATH is set.
  variables.push_back(std::string("LSAN_OPTIONS=suppressions=") + LSAN_SUPPRESSIONS +
                      ":print_suppressions=0");
  return variables;
}

std::vector<std::string> windowsEnvironmentWith(std::vector<std::string> variables) {
  for (const char* name : {"PATH", "HOME", "WINEPREFIX", "WINEDEBUG", "WINEDLLOVERRIDES"}) {
    if (const char* value = std::getenv(name)) {
      variables.push_back(std::string(name) + "=" + value);
    }
  }
  return environmentWith(std::move(variables));
}

Started startProgram(Dialogue::Channel channel, bool errors,
                     const std::vector<std::string>& environment,
                     const std::filesystem::path& workDir, const Restrictions& restrictions) {
  std::fflush(nullptr);  // the child must not inherit unwritten test output
  if (channel != Dialogue::Channel::pipes) {
    termios settings{};
    ::cfmakeraw(&settings);
    if (channel == Dialogue::Channel::terminal) {
      settings.c_lflag |= ICANON;  // line editing, and Ctrl-D ends the input at a line start
    }
    settings.c_lflag &= static_cast<tcflag_t>(~ECHO);   // typed input stays out of the transcript
    settings.c_oflag &= static_cast<tcflag_t>(~OPOST);  // "\n" stays "\n"
    settings.c_cc[VEOF] = 4;
    settings.c_cc[VMIN] = channel == Dialogue::Channel::terminal ? 1 : 0;
    settings.c_cc[VTIME] = 0;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, &settings, nullptr);
    if (pid == 0) {
      execProgram(environment, workDir, restrictions);
    }
    if (pid < 0) {
      fail("forkpty");
    }
    return {pid, master, master, -1};
  }
  int in[2];
  int out[2];
  int err[2] = {-1, -1};
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 ||
      (errors && ::pipe2(err, O_CLOEXEC) != 0)) {
    fail("pipe");
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    if (errors) {
      ::dup2(err[1], 2);
    }
    execProgram(environment, workDir, restrictions);
  }
  for (const int fd : {in[0], out[1], err[1]}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  return {pid, in[1], out[0], err[0]};
}

std::string cannotRun(const Restrictions& restrictions) {
  const bool root = ::geteuid() == 0;
  if (restrictions.noDevNull && !root) {
    return "an empty /dev needs root";
  }
  if (!restrictions.noDevNull && !(restrictions.unprivileged && root)) {
    return "";
  }
  const pid_t pid = ::fork();
  if (pid == 0) {  // what execProgram would do first, and whether the program is in reach
    const bool ready = restrictions.noDevNull
                           ? ::unshare(CLONE_NEWNS) == 0 &&
                                 ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0
                           : becomeNobody() && ::access(MATRIX_MENU_EXE, X_OK) == 0;
    _exit(ready ? 0 : 1);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  if (exitStatusOf(status) == 0) {
    return "";
  }
  return restrictions.noDevNull ? "no mount namespace here (a chroot?)"
                                : "user nobody cannot reach the build tree (under /root?)";
}

bool haveStrace() { return std::system("strace -V >/dev/null 2>&1") == 0; }

std::vector<std::string> strace(const std::string& options) {
  std::istringstream words("strace " + options);
  return {std::istream_iterator<std::string>(words), std::istream_iterator<std::string>()};
}

int exitStatusOf(int waitStatus) {
  return WIFEXITED(waitStatus) ? WEXITSTATUS(waitStatus) : 128 + WTERMSIG(waitStatus);
}

Outcome runProgram(const std::string& input, const std::vector<std::string>& environment) {
  const TempDir dir;
  return runProgram(input, environment, dir.path());
}

Outcome runProgram(const std::string& input, const std::vector<std::string>& environment,
                   const std::filesystem::path& workDir, const Restrictions& restrictions) {
  ::signal(SIGPIPE, SIG_IGN);  // a program that stops reading early must not end the tests
  const Started started =
      startProgram(Dialogue::Channel::pipes, true, environment, workDir, restrictions);
  if (restrictions.readerGone) {
    ::close(started.output);
  }
  // Fed from a thread of its own: a program may write a lot before it reads again.
  std::thread feeder([&input, fd = started.input] {
    for (std::string_view left = input; !left.empty();) {
      const ssize_t n = ::write(fd, left.data(), left.size());
      if (n <= 0) {
        break;
      }
      left.remove_prefix(static_cast<std::size_t>(n));
    }
    ::close(fd);
  });
  Outcome outcome;
  pollfd fds[2] = {{restrictions.readerGone ? -1 : started.output, POLLIN, 0},
                   {started.errors, POLLIN, 0}};
  std::string* const into[2] = {&outcome.out, &outcome.err};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while ((fds[0].fd >= 0 || fds[1].fd >= 0) && std::chrono::steady_clock::now() < until) {
    if (::poll(fds, 2, 1000) < 0 && errno != EINTR) {
      fail("poll");
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP)) != 0) {
        char buffer[65536];
        const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
        if (n > 0) {
          into[k]->append(buffer, static_cast<std::size_t>(n));
        } else {
          ::close(std::exchange(fds[k].fd, -1));
        }
      }
    }
  }
  const bool ended = fds[0].fd < 0 && fds[1].fd < 0;
  for (const pollfd& fd : fds) {
    if (fd.fd >= 0) {
      ::close(fd.fd);
    }
  }
  if (!ended) {
    ::kill(started.pid, SIGKILL);
  }
  feeder.join();
  int status = 0;
  ::waitpid(started.pid, &status, 0);
  outcome.status = ended ? exitStatusOf(status) : -1;
  return outcome;
}

}  // namespace testing_support
