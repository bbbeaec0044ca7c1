// The user's locale on POSIX systems: from the environment, with glibc's names for locales
// whose categories differ, and a warning that names a locale that cannot be loaded.
#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <utility>

#include "console_platform.h"

namespace console {

namespace {

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

}  // namespace

std::locale platform::userLocale() {
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

}  // namespace console
