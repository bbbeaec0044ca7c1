// The console over the process's standard input and output on POSIX systems.
#include <fcntl.h>
#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "console.h"
#include "platform.h"

namespace console {

namespace {

class DescriptorSource final : public ByteSource {
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
        return readError;
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
        return false;  // nothing more can be shown; the session goes on regardless
      }
    }
    return true;
  }
};

// The name of one category in a glibc locale's name: the whole name, or one part of a
// composite one ("LC_CTYPE=ru_RU.CP1251;LC_NUMERIC=ru_RU.UTF-8;...").
std::string categoryName(const std::string& localeName, const std::string& category) {
  const std::string key = category + "=";
  std::size_t start = localeName.find(key);
  if (start == std::string::npos) {
    return localeName;
  }
  start += key.size();
  return localeName.substr(start, localeName.find(';', start) - start);
}

// Whether every category of the locale `name` loads now.
bool loads(const std::string& name) {
  const locale_t loaded = ::newlocale(LC_ALL_MASK, name.c_str(), nullptr);
  if (loaded == nullptr) {
    return false;
  }
  ::freelocale(loaded);
  return true;
}

// Whether the system has the locale `name` at all: its smallest category, found where glibc
// looks for locales, loads even when memory is too short for the whole.
bool installed(const std::string& name) {
  const locale_t found = ::newlocale(LC_NUMERIC_MASK, name.c_str(), nullptr);
  if (found == nullptr) {
    return false;
  }
  ::freelocale(found);
  return true;
}

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// Which environment variable named the locale that does not load, and that name: LC_ALL
// rules them all, then each category's own variable, then LANG.
std::pair<std::string, std::string> failedLocale() {
  if (!variable("LC_ALL").empty()) {
    return {"LC_ALL", variable("LC_ALL")};
  }
  for (const char* category :
       {"LC_CTYPE", "LC_NUMERIC", "LC_TIME", "LC_COLLATE", "LC_MONETARY", "LC_MESSAGES", "LC_PAPER",
        "LC_NAME", "LC_ADDRESS", "LC_TELEPHONE", "LC_MEASUREMENT", "LC_IDENTIFICATION"}) {
    const std::string name = variable(category);
    if (!name.empty() && !loads(name)) {
      return {category, name};
    }
  }
  return {"LANG", variable("LANG")};
}

// How root installs the locale `name` on Debian, for a name with a character set in it
// ("ru_RU.UTF-8"): localedef -i ru_RU -f UTF-8 ru_RU.UTF-8.
std::string installCommand(const std::string& name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos) {
    return "";
  }
  const std::size_t at = std::min(name.find('@'), name.size());
  std::string charmap = name.substr(dot + 1, at - dot - 1);
  std::transform(charmap.begin(), charmap.end(), charmap.begin(),
                 [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
  if (charmap == "UTF8") {
    charmap = "UTF-8";
  }
  return "localedef -i " + name.substr(0, dot) + name.substr(at) + " -f " + charmap + " " + name +
         " или ";
}

std::locale environmentLocale() {
  try {
    return std::locale("");
  } catch (const std::runtime_error&) {
    const auto [name, value] = failedLocale();
    std::cerr << "matrix-menu: локаль «" << value << "» (" << name << ") ";
    if (installed(value)) {
      // Not enough memory, or damaged files: installing it again is no advice to give.
      std::cerr << "установлена, но загрузить её не удалось; используются стандартные "
                   "настройки и кодировка UTF-8\n";
    } else {
      std::cerr << "не установлена в системе; используются стандартные настройки и кодировка "
                   "UTF-8. Установить её может root: "
                << installCommand(value)
                << "раскомментировать её в /etc/locale.gen и выполнить locale-gen\n";
    }
    return std::locale::classic();
  }
}

// Never destroyed: the standard library flushes cout and wcout after main returns, and
// their buffers must still exist then.
Console* standardConsole = nullptr;
bool outputClosedAtStart = false;

// A closed standard descriptor would be taken by the next file opened, and console output
// meant for it would land in the matrix file: each one gets /dev/null instead, or where
// there is none, any descriptor that holds the number (the root directory, which can be
// neither read nor written through it).
void occupyClosedDescriptors() {
  for (const int fd : {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO}) {
    if (::fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      int placeholder = ::open("/dev/null", O_RDWR);
      if (placeholder < 0) {
        placeholder = ::open("/", O_PATH | O_DIRECTORY);
      }
      // open() takes the lowest free number, which is this one; should it not, move it.
      if (placeholder >= 0 && placeholder != fd) {
        ::dup2(placeholder, fd);
        ::close(placeholder);
      }
      outputClosedAtStart = outputClosedAtStart || fd == STDOUT_FILENO;
    }
  }
}

}  // namespace

Codec platform::textEncoding(const std::locale& user) { return Codec::ofLocale(user); }

std::optional<Codec> platform::numericEncoding(const std::locale& user) {
  const std::string name = user.name();
  const std::string numeric = categoryName(name, "LC_NUMERIC");
  if (numeric == categoryName(name, "LC_CTYPE")) {
    return Codec::ofLocale(user);
  }
  try {
    return Codec::ofLocale(std::locale(numeric));
  } catch (const std::runtime_error&) {
    return std::nullopt;
  }
}

void startStandardConsole() {
  if (standardConsole != nullptr) {
    return;
  }
  occupyClosedDescriptors();
  // A reader that went away makes writes fail with EPIPE, and a file-size limit with EFBIG,
  // instead of killing the program, so the rest of the input, saves included, is still
  // carried out.
  std::signal(SIGPIPE, SIG_IGN);
  std::signal(SIGXFSZ, SIG_IGN);
  const std::locale user = environmentLocale();
  auto* source = new DescriptorSource;
  auto* sink = new DescriptorSink;
  standardConsole = new Console(*source, *sink, user);
  // Installed by name, the user's locale becomes the C library's locale too. The console's
  // streams and the matrix file take the console's variant of it, from conventions().
  std::locale::global(user);
  standardConsole->attach();
}

int finishStandardConsole() { return exitStatus(*standardConsole, outputClosedAtStart); }

}  // namespace console
