// Why a locale does not load, as glibc keeps its locales: in its locale archive or a
// directory of their own, compiled by localedef from the sources and character maps that
// Debian lists as supported.
#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "user_locale_posix.h"

namespace console {

namespace {

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

std::string whyNotLoaded(const std::string& name) {
  if (installed(name) || partlyLoads(name)) {
    // Not enough memory, or damaged files: installing it again is no advice to give.
    return "установлена, но загрузить её не удалось";
  }
  return "не установлена" + installAdvice(name);
}

}  // namespace console
