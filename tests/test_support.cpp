#include "test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <iconv.h>
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
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <stdexcept>

#include "matrix_state.h"

// The same glibc leak in this process, for LeakSanitizer.
// NOLINTNEXTLINE(bugprone-reserved-identifier): the name LeakSanitizer looks for
extern "C" const char* __lsan_default_suppressions() { return "leak:argz_add_sep\n"; }

namespace testing_support {

namespace {

constexpr char waitMarker = '\x01';

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
  if (restrictions.fileSizeLimit >= 0) {
    const rlimit limit{static_cast<rlim_t>(restrictions.fileSizeLimit),
                       static_cast<rlim_t>(restrictions.fileSizeLimit)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
  }
  if (restrictions.unprivileged && ::geteuid() == 0 &&
      (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)) {
    _exit(125);
  }
  if (restrictions.windowsProgram != nullptr) {
    std::vector<std::string> arguments{"wine", restrictions.windowsProgram};
    ::execvpe("wine", pointers(arguments).data(), pointers(environment).data());
    _exit(127);
  }
  std::vector<std::string> arguments = restrictions.tracer;
  arguments.emplace_back(MATRIX_MENU_EXE);
  ::execvpe(arguments[0].c_str(), pointers(arguments).data(), pointers(environment).data());
  _exit(127);
}

int decodeStatus(int status) {
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
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

std::string recode(std::string_view utf8, const char* charset) {
  iconv_t cd = ::iconv_open(charset, "UTF-8");
  if (cd ==
      reinterpret_cast<iconv_t>(-1)) {  // NOLINT(performance-no-int-to-ptr): iconv's error value
    fail("iconv_open");
  }
  std::string in(utf8);
  std::string out(in.size() * 4 + 16, '\0');
  char* from = in.data();
  std::size_t fromLeft = in.size();
  char* to = out.data();
  std::size_t toLeft = out.size();
  const std::size_t result = ::iconv(cd, &from, &fromLeft, &to, &toLeft);
  ::iconv_close(cd);
  if (result == static_cast<std::size_t>(-1)) {
    fail("iconv");
  }
  out.resize(out.size() - toLeft);
  return out;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "matrix-menu-XXXXXX").string();
  if (::mkdtemp(pattern.data()) == nullptr) {
    fail("mkdtemp");
  }
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ignored;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ignored);
  std::filesystem::remove_all(path_, ignored);
}

std::ptrdiff_t ScriptSource::read(char* buffer, std::size_t size) {
  if (!pauses_) {
    const std::size_t count = std::min(size, script_.size() - pos_);
    script_.copy(buffer, count, pos_);
    pos_ += count;
    return static_cast<std::ptrdiff_t>(count);
  }
  if (pos_ < script_.size() && script_[pos_] == waitMarker) {
    ++pos_;
    ++waits_;
    if (watched != nullptr) {
      shownAtWaits.push_back(*watched);
    }
  }
  std::size_t count = 0;
  while (count < size && pos_ < script_.size() && script_[pos_] != waitMarker) {
    buffer[count++] = script_[pos_++];
  }
  return static_cast<std::ptrdiff_t>(count);
}

bool ScriptSource::readyWithoutWaiting() {
  return !pauses_ || pos_ == script_.size() || script_[pos_] != waitMarker;
}

bool StringSink::write(const char* data, std::size_t size) {
  ++writes;
  if (fail) {
    return false;
  }
  bytes.append(data, size);
  return true;
}

namespace {

// Made once for each named locale: its tables cost more than a short session.
console::ConsoleLocale consoleLocaleOf(const std::locale& user) {
  static std::map<std::string, console::ConsoleLocale> made;
  if (user.name() == "*") {
    return console::consoleLocale(user);
  }
  auto found = made.find(user.name());
  if (found == made.end()) {
    found = made.emplace(user.name(), console::consoleLocale(user)).first;
  }
  return found->second;
}

}  // namespace

MemoryConsole::MemoryConsole(std::string script, const std::locale& locale, bool pauses)
    : source(std::move(script), pauses), console(source, sink, consoleLocaleOf(locale)) {
  std::locale::global(locale);
  source.watched = &sink.bytes;
  A = {};
  B = {};
  console.attach();
}

MemoryConsole::~MemoryConsole() { std::locale::global(previousGlobal); }

InTempDirectory::InTempDirectory() : previous_(std::filesystem::current_path()) {
  std::filesystem::current_path(dir_.path());
}

InTempDirectory::~InTempDirectory() { std::filesystem::current_path(previous_); }

std::string readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream(path, std::ios::binary) << bytes;
}

std::vector<std::string> listDirectory(const std::filesystem::path& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

const std::string& MemoryConsole::output() {
  console.flush();
  return sink.bytes;
}

std::string menuText() {
  return "\n=== МЕНЮ ===\n"
         "1. Ввод элементов матрицы\n"
         "2. Вывод матрицы на экран\n"
         "3. Проверка строк на возрастающую последовательность и заполнение вектора B\n"
         "4. Сортировка строк с четными индексами по возрастанию\n"
         "5. Сортировка строк с четными индексами по убыванию\n"
         "6. Вывод результирующего вектора B\n"
         "7. Сохранить матрицу в файл\n"
         "8. Загрузить матрицу из файла\n"
         "9. Выход из программы\n\n"
         "Выберите пункт меню: ";
}

std::string prompt(int row, int column) {
  return "Введите элемент A[" + std::to_string(row) + "][" + std::to_string(column) + "]: ";
}

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

Outcome runProgram(const std::string& input, const std::vector<std::string>& environment) {
  const TempDir dir;
  return runProgram(input, environment, dir.path());
}

Outcome runProgram(const std::string& input, const std::vector<std::string>& environment,
                   const std::filesystem::path& workDir, const Restrictions& restrictions) {
  ::signal(SIGPIPE, SIG_IGN);  // a program that stops reading early must not end the tests
  int in[2];
  int out[2];
  int err[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    execProgram(environment, workDir, restrictions);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  int open = 2;
  if (restrictions.readerGone) {
    ::close(out[0]);
    out[0] = -1;
    --open;
  }
  Outcome outcome;
  std::size_t written = 0;
  int toChild = in[1];
  if (input.empty()) {
    ::close(toChild);
    toChild = -1;
  }
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (open > 0 && std::chrono::steady_clock::now() < until) {
    pollfd fds[3] = {{out[0], POLLIN, 0}, {err[0], POLLIN, 0}, {toChild, POLLOUT, 0}};
    if (::poll(fds, toChild >= 0 ? 3 : 2, 1000) < 0 && errno != EINTR) {
      fail("poll");
    }
    for (int k = 0; k < 2; ++k) {
      if (fds[k].fd >= 0 && (fds[k].revents & (POLLIN | POLLHUP)) != 0) {
        char buffer[65536];
        const ssize_t n = ::read(fds[k].fd, buffer, sizeof buffer);
        if (n > 0) {
          (k == 0 ? outcome.out : outcome.err).append(buffer, static_cast<std::size_t>(n));
        } else {
          ::close(fds[k].fd);
          (k == 0 ? out[0] : err[0]) = -1;
          --open;
        }
      }
    }
    if (toChild >= 0 && (fds[2].revents & (POLLOUT | POLLERR | POLLHUP)) != 0) {
      const ssize_t n = ::write(toChild, input.data() + written, input.size() - written);
      if (n > 0) {
        written += static_cast<std::size_t>(n);
      }
      if (n < 0 || written == input.size()) {
        ::close(toChild);
        toChild = -1;
      }
    }
  }
  for (int fd : {out[0], err[0], toChild}) {
    if (fd >= 0) {
      ::close(fd);
    }
  }
  if (open > 0) {
    ::kill(pid, SIGKILL);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  outcome.status = open > 0 ? -1 : decodeStatus(status);
  return outcome;
}

Dialogue::Dialogue(Channel channel, const std::vector<std::string>& environment,
                   const std::filesystem::path& workDir, const Restrictions& restrictions)
    : channel_(channel), traced_(!restrictions.tracer.empty()) {
  std::fflush(nullptr);  // the child must not inherit unwritten test output
  if (channel != Channel::pipes) {
    termios settings{};
    ::cfmakeraw(&settings);
    if (channel == Channel::terminal) {
      settings.c_lflag |= ICANON;  // line editing, and Ctrl-D ends the input at a line start
    }
    settings.c_lflag &= static_cast<tcflag_t>(~ECHO);   // typed input stays out of the transcript
    settings.c_oflag &= static_cast<tcflag_t>(~OPOST);  // "\n" stays "\n"
    settings.c_cc[VEOF] = 4;
    settings.c_cc[VMIN] = channel == Channel::terminal ? 1 : 0;
    settings.c_cc[VTIME] = 0;
    int master = -1;
    pid_ = ::forkpty(&master, nullptr, &settings, nullptr);
    if (pid_ == 0) {
      execProgram(environment, workDir, restrictions);
    }
    if (pid_ < 0) {
      fail("forkpty");
    }
    input_ = output_ = master;
    return;
  }
  int in[2];
  int out[2];
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
    fail("pipe");
  }
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], 0);
    ::dup2(out[1], 1);
    execProgram(environment, workDir, restrictions);
  }
  ::close(in[0]);
  ::close(out[1]);
  input_ = in[1];
  output_ = out[0];
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
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (!std::string_view(transcript_).ends_with(text)) {
    if (!readSome(until)) {
      return false;
    }
  }
  return true;
}

bool Dialogue::waitToSee(std::string_view text, std::chrono::milliseconds deadline) {
  const auto until = std::chrono::steady_clock::now() + deadline;
  while (transcript_.find(text) == std::string::npos) {
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
      fail("write");
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
      return decodeStatus(status);
    }
    ::usleep(10000);
  }
  return -1;
}

}  // namespace testing_support
