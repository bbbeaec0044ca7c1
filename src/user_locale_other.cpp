// Why a locale does not load, on C libraries other than glibc (macOS, musl): they have no
// archive to look into and no tool to advise that every system has, so the warning says
// what the library itself reports.
#include <cerrno>
#include <string>

#include "user_locale_posix.h"

namespace console {

std::string whyNotLoaded(const std::string& name) {
  errno = 0;
  static_cast<void>(loads(name));  // once more, for its errno
  // newlocale reports missing locale data as ENOENT; anything else (no memory, a name it
  // refuses) does not tell whether the locale is there.
  return errno == ENOENT ? "не установлена" : "не загружается";
}

}  // namespace console
