// Dialogue, declared in program_runner.h: the built program driven as a person would drive
// it, waiting for each text before typing.
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>

#include "program_runner.h"

namespace testing_support {

Dialogue::Dialogue(Channel channel, const std::vector<std::string>& environment,
                   const std::filesystem::path& workDir, const Restrictions& restrictions)
    : channel_(channel), traced_(!restrictions.tracer.empty()) {
  const Started started = startProgram(channel, false, environment, workDir, restrictions);
  pid_ = started.pid;
  input_ = started.input;
  output_ = started.output;
}

Dialogue::~Dialogue() {
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
  if (input_ >= 0 && input_ != output_) {
    ::close(input_);
  }
  if (output_ >= 0) {
    ::close(output_);
  }
}

bool Dialogue::readSome(std::chrono::steady_clock::time_point until) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      until - std::chrono::steady_clock::now());
  if (left.count() <= 0) {
    return false;
  }
  pollfd fd{output_, POLLIN, 0};
  if (::poll(&fd, 1, static_cast<int>(left.count())) <= 0) {
    return false;
  }
  char buffer[4096];
  const ssize_t n = ::read(output_, buffer, sizeof buffer);
  if (n <= 0) {
    return false;  // EIO on a terminal's master once the program has closed it
  }
  transcript_.append(buffer, static_cast<std::size_t>(n));
  return true;
}

bool Dialogue::waitFor(std::string_view text, std::chrono::milliseconds deadline) {
  return waitUntil([&] { return std::string_view(transcript_).ends_with(text); }, deadline);
}

bool Dialogue::waitToSee(std::string_view text, std::chrono::milliseconds deadline) {
  return waitUntil([&] { return transcript_.find(text) != std::string::npos; }, deadline);
}

bool Dialogue::waitUntil(const std::function<bool()>& shown, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!shown()) {
    if (!readSome(until)) {
      return false;
    }
  }
  return true;
}

void Dialogue::type(std::string_view bytes) const {
  while (!bytes.empty()) {
    const ssize_t n = ::write(input_, bytes.data(), bytes.size());
    if (n <= 0) {
      throw std::runtime_error("write: " + std::to_string(errno));
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void Dialogue::endInput() {
  if (channel_ == Channel::terminal) {
    type("\x04");
  } else {
    ::close(input_);
    input_ = -1;
  }
}

void Dialogue::signal(int number) const {
  pid_t program = pid_;
  if (traced_) {  // the tracer's only child
    std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                           "/children");
    children >> program;
  }
  ::kill(program, number);
}

bool Dialogue::sleeps(std::chrono::milliseconds deadline) const {
  const auto until = std::chrono::steady_clock::now() + deadline;
  char state = 'R';  // the field after the command's name in /proc/PID/stat
  while ((state == 'R' || state == 'D') && std::chrono::steady_clock::now() < until) {
    std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
    std::string line;
    std::getline(stat, line);
    state = line.rfind(')') + 2 < line.size() ? line[line.rfind(')') + 2] : 'X';
  }
  return state == 'S';
}

long Dialogue::peakKilobytes() const {
  // Not the children's rusage: that counts the test process's pages shared before exec.
  std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
  for (std::string line; std::getline(status, line);) {
    if (line.starts_with("VmHWM:")) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

int Dialogue::exitStatus() {
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (readSome(until)) {
  }
  int status = 0;
  for (int i = 0; i < 1000; ++i) {
    if (::waitpid(pid_, &status, WNOHANG) == pid_) {
      pid_ = -1;
      return exitStatusOf(status);
    }
    ::usleep(10000);
  }
  return -1;
}

}  // namespace testing_support
