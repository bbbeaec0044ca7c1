// The user's locale on POSIX systems: from the environment, with glibc's names for locales
// whose categories differ, and a warning that names each locale that cannot be loaded and
// how it could be installed.
#include <langinfo.h>
#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

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

// The separator as the locale's source defines it (U+202F for ru_RU in every encoding):
// glibc keeps it apart from the multibyte form, which a single-byte encoding may lack.
wchar_t wideSeparator(locale_t conventions) {
#ifdef __GLIBC__
  // The item's value is in the place of the pointer, as libstdc++ reads it too.
  const char* item = ::nl_langinfo_l(_NL_NUMERIC_THOUSANDS_SEP_WC, conventions);
  wchar_t separator = 0;
  std::memcpy(&separator, static_cast<const void*>(&item), sizeof separator);
  return separator;
#else
  const std::string narrow = ::nl_langinfo_l(THOUSANDS_SEP, conventions);
  const locale_t previous = ::uselocale(conventions);
  std::mbstate_t state{};
  wchar_t separator = 0;
  const std::size_t used = std::mbrtowc(&separator, narrow.data(), narrow.size(), &state);
  ::uselocale(previous);
  return used == narrow.size() ? separator : 0;
#endif
}

// Whether the categories `mask` of the locale `name` load now.
bool loads(const std::string& name, int mask = LC_ALL_MASK) {
  const locale_t loaded = ::newlocale(mask, name.c_str(), nullptr);
  if (loaded == nullptr) {
    return false;
  }
  ::freelocale(loaded);
  return true;
}

// Whether the locale is installed though it does not load as a whole (memory too short,
// a damaged or unreadable file): some category of it loads on its own.
bool partlyLoads(const std::string& name) {
  constexpr int masks[] = {LC_CTYPE_MASK,     LC_NUMERIC_MASK,     LC_TIME_MASK,
                           LC_COLLATE_MASK,   LC_MONETARY_MASK,    LC_MESSAGES_MASK,
                           LC_PAPER_MASK,     LC_NAME_MASK,        LC_ADDRESS_MASK,
                           LC_TELEPHONE_MASK, LC_MEASUREMENT_MASK, LC_IDENTIFICATION_MASK};
  return std::any_of(std::begin(masks), std::end(masks),
                     [&name](int mask) { return loads(name, mask); });
}

// A name from the environment as it may be shown on a terminal: bytes outside printable
// ASCII (an escape sequence, say) as \xHH, and the backslash doubled.
std::string shown(const std::string& name) {
  constexpr char digits[] = "0123456789ABCDEF";
  std::string text;
  for (const char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (c == '\\') {
      text += "\\\\";
    } else if (byte < 0x20 || byte > 0x7E) {
      text += {'\\', 'x', digits[byte >> 4], digits[byte & 0xF]};
    } else {
      text += c;
    }
  }
  return text;
}

std::string variable(const char* name) {
  const char* value = std::getenv(name);
  return value != nullptr ? value : "";
}

// The categories in the order of glibc's composite names.
constexpr const char* categories[] = {
    "LC_CTYPE", "LC_NUMERIC", "LC_TIME",    "LC_COLLATE",   "LC_MONETARY",    "LC_MESSAGES",
    "LC_PAPER", "LC_NAME",    "LC_ADDRESS", "LC_TELEPHONE", "LC_MEASUREMENT", "LC_IDENTIFICATION"};

// The variable that gives `category` its locale, as glibc finds it: LC_ALL, else the
// category's own, else LANG; none where the category is C.
const char* variableFor(const char* category) {
  for (const char* name : {"LC_ALL", category, "LANG"}) {
    if (!variable(name).empty()) {
      return name;
    }
  }
  return nullptr;
}

std::string environmentName(const char* category) {
  const char* name = variableFor(category);
  return name != nullptr ? variable(name) : "C";
}

// The environment's locale by name: one name where all categories share it, else glibc's
// composite "LC_CTYPE=...;LC_NUMERIC=...;...". Spelled out rather than left to
// std::locale(""), whose name differs from one C++ library to another, so that the console
// can find the numeric conventions' own locale by it.
std::string environmentLocaleName() {
  std::string composite;
  bool same = true;
  for (const char* category : categories) {
    const std::string name = environmentName(category);
    same = same && name == environmentName(categories[0]);
    composite += (composite.empty() ? "" : ";") + std::string(category) + "=" + name;
  }
  return same ? environmentName(categories[0]) : composite;
}

// A locale name with the variable that gives it.
struct Named {
  const char* variable;
  std::string name;
};

// The locale names in effect, each once, with the variable that gives it.
std::vector<Named> namesInEffect() {
  std::vector<Named> names;
  for (const char* category : categories) {
    const char* given = variableFor(category);
    if (given != nullptr && std::none_of(names.begin(), names.end(), [&](const Named& n) {
          return n.name == variable(given);
        })) {
      names.push_back({given, variable(given)});
    }
  }
  return names;
}

// A locale name as glibc compares them: the character set in lower case without
// punctuation ("ru_RU.UTF-8" and "ru_RU.utf8" are one).
std::string normalized(const std::string& name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos) {
    return name;
  }
  const std::size_t at = std::min(name.find('@'), name.size());
  std::string charset;
  for (std::size_t k = dot + 1; k < at; ++k) {
    if (std::isalnum(static_cast<unsigned char>(name[k])) != 0) {
      charset += static_cast<char>(std::tolower(static_cast<unsigned char>(name[k])));
    }
  }
  return name.substr(0, dot + 1) + charset + name.substr(at);
}

// The name a line of Debian's list of the locales the system can make gives its locale: the
// first field, with the second for its character set where the first has none
// ("en_US ISO-8859-1" makes en_US.ISO-8859-1, "sr_RS@latin UTF-8" sr_RS.UTF-8@latin).
std::string supportedName(const std::string& line) {
  const std::size_t space = line.find(' ');
  std::string name = line.substr(0, space);
  if (name.find('.') != std::string::npos) {
    return name;
  }
  const std::size_t at = std::min(name.find('@'), name.size());
  return name.substr(0, at) + "." + line.substr(space + 1) + name.substr(at);
}

// The name of the first entry of `directory` that `matches`; empty where none does.
template <class Matches>
std::string entryNamed(const std::string& directory, Matches matches) {
  std::error_code error;
  for (std::filesystem::directory_iterator entry(directory, error), end; !error && entry != end;
       entry.increment(error)) {
    std::string file = entry->path().filename().string();
    if (matches(file)) {
      return file;
    }
  }
  return "";
}

std::string withoutGz(const std::string& file) {
  return file.ends_with(".gz") ? file.substr(0, file.size() - 3) : file;
}

// A locale that localedef can make: its source and character map, as named in its command.
struct Recipe {
  std::string source;
  std::string charmap;
};

// The recipe for `name` from Debian's list of supported locales, or else from the sources
// and character maps that are there; nothing where the system has not the means.
std::optional<Recipe> recipeFor(const std::string& name) {
  std::ifstream lines("/usr/share/i18n/SUPPORTED");
  for (std::string line; std::getline(lines, line);) {
    const std::size_t space = line.find(' ');
    const std::string listed = supportedName(line);
    if (space != std::string::npos && (normalized(line.substr(0, space)) == normalized(name) ||
                                       normalized(listed) == normalized(name))) {
      const std::size_t at = std::min(listed.find('@'), listed.size());
      return Recipe{listed.substr(0, listed.find('.')) + listed.substr(at), line.substr(space + 1)};
    }
  }
  const std::size_t dot = name.find('.');
  const std::size_t at = std::min(name.find('@'), name.size());
  if (dot == std::string::npos || dot > at) {
    return std::nullopt;
  }
  const std::string source = name.substr(0, dot) + name.substr(at);
  std::error_code error;
  if (source.find('/') != std::string::npos ||
      !std::filesystem::is_regular_file("/usr/share/i18n/locales/" + source, error)) {
    return std::nullopt;
  }
  const std::string charmap =
      entryNamed("/usr/share/i18n/charmaps", [&name, dot, at](const std::string& file) {
        return normalized(name.substr(0, dot) + "." + withoutGz(file)) ==
               normalized(name.substr(0, at));
      });
  if (charmap.empty()) {
    return std::nullopt;
  }
  return Recipe{source, withoutGz(charmap)};
}

// How root can install the locale `name`, where this system has the means.
std::string installAdvice(const std::string& name) {
  const std::optional<Recipe> recipe = recipeFor(name);
  if (!recipe) {
    return ", и описания её в системе нет";
  }
  return " в системе. Установить её может root: localedef -i " + recipe->source + " -f " +
         recipe->charmap + " " + shown(name);
}

// Whether glibc's locale archive holds `name`. Read a piece at a time: an archive is mapped
// whole, which memory too short for it cannot do, and then its locales must still count as
// installed.
bool archived(const std::string& name) {
  std::ifstream archive("/usr/lib/locale/locale-archive", std::ios::binary);
  const auto word = [&archive](std::streamoff offset) {
    std::uint32_t value = 0;
    archive.seekg(offset).read(reinterpret_cast<char*>(&value), sizeof value);
    return value;
  };
  // The header: the magic number, a serial, then the name table's offset, used and size
  // (entries of hash, name offset and record offset). The names are stored normalized.
  constexpr std::uint32_t magic = 0xde020109;
  if (word(0) != magic) {
    return false;
  }
  const std::uint32_t table = word(8);
  const std::uint32_t size = word(16);
  for (std::uint32_t entry = 0; entry < size && archive; ++entry) {
    const std::streamoff at = table + std::streamoff{12} * entry;
    std::string stored;
    if (word(at + 8) != 0 && std::getline(archive.seekg(word(at + 4)), stored, '\0') &&
        stored == normalized(name)) {
      return true;
    }
  }
  return false;
}

// Whether the system has the locale `name`, whether or not it loads, where glibc looks: in
// LOCPATH's directories where it is set, else in the locale archive or glibc's directory,
// under the name as given or with its character set normalized.
bool installed(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return false;  // an entry's name, never a path
  }
  const std::string path = variable("LOCPATH");
  if (path.empty() && archived(name)) {
    return true;
  }
  const std::string directories = path.empty() ? "/usr/lib/locale" : path;
  std::error_code error;
  for (std::size_t start = 0; start <= directories.size();) {
    const std::size_t end = std::min(directories.find(':', start), directories.size());
    const std::string directory = directories.substr(start, end - start) + "/";
    if (std::filesystem::is_directory(directory + name, error) ||
        std::filesystem::is_directory(directory + normalized(name), error)) {
      return true;
    }
    start = end + 1;
  }
  return false;
}

}  // namespace

std::locale platform::userLocale() {
  try {
    return std::locale(environmentLocaleName());
  } catch (const std::exception&) {  // not found, or no memory to load it with
    for (const auto& [name, value] : namesInEffect()) {
      if (loads(value)) {
        continue;
      }
      std::cerr << "matrix-menu: локаль «" << shown(value) << "» (" << name << ") ";
      if (installed(value) || partlyLoads(value)) {
        // Not enough memory, or damaged files: installing it again is no advice to give.
        std::cerr << "установлена, но загрузить её не удалось\n";
      } else {
        std::cerr << "не установлена" << installAdvice(value) << "\n";
      }
    }
    std::cerr << "matrix-menu: используются стандартные настройки и кодировка UTF-8\n";
    return std::locale::classic();
  }
}

Codec platform::textEncoding(const std::locale& user) { return Codec::ofLocale(user); }

std::optional<platform::NumericSeparator> platform::numericSeparator(const std::locale& user) {
  const std::string numeric = categoryName(user.name(), "LC_NUMERIC");
  const locale_t conventions =
      ::newlocale(LC_CTYPE_MASK | LC_NUMERIC_MASK, numeric.c_str(), nullptr);
  if (conventions == nullptr) {
    return std::nullopt;  // "*": made in the program, not by name
  }
  NumericSeparator separator{wideSeparator(conventions), 0, 0};
  const std::string narrow = ::nl_langinfo_l(THOUSANDS_SEP, conventions);
  if (narrow.size() == 1) {
    const locale_t previous = ::uselocale(conventions);
    const wint_t means = std::btowc(static_cast<unsigned char>(narrow[0]));
    ::uselocale(previous);
    if (means != WEOF) {
      separator.byte = narrow[0];
      separator.byteMeans = static_cast<wchar_t>(means);
    }
  }
  ::freelocale(conventions);
  if (separator.character == 0) {
    return std::nullopt;
  }
  return separator;
}

}  // namespace console
