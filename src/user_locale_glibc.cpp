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
#include <vector>

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

// A character set's name as glibc compares them: letters in lower case, digits, nothing
// else, and "iso" before one of digits alone ("UTF-8" is "utf8", "8859-5" "iso88595").
std::string normalizedCharset(const std::string& charset) {
  std::string kept;
  for (const char c : charset) {
    if (std::isalnum(static_cast<unsigned char>(c)) != 0) {
      kept += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
  }
  const bool digits = std::all_of(
      kept.begin(), kept.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); });
  return digits ? "iso" + kept : kept;
}

// A locale name as glibc compares them: with its character set normalized ("ru_RU.UTF-8"
// and "ru_RU.utf8" are one).
std::string normalized(const std::string& name) {
  const std::size_t dot = name.find('.');
  if (dot == std::string::npos) {
    return name;
  }
  const std::size_t at = std::min(name.find('@'), name.size());
  return name.substr(0, dot + 1) + normalizedCharset(name.substr(dot + 1, at - dot - 1)) +
         name.substr(at);
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

// A word of a shell command: bytes outside printable ASCII shown as in shown(), and in
// single quotes where the shell would read something else into it.
std::string shellWord(const std::string& text) {
  std::string word = shown(text);
  if (!word.empty() && word.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ"
                                              "0123456789_./+,:=@%-") == std::string::npos) {
    return word;
  }
  std::string quoted = "'";
  for (const char c : word) {
    quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return quoted + "'";
}

// A 32-bit word of one of glibc's locale files, in the machine's byte order; 0 past its end.
std::uint32_t wordAt(std::ifstream& file, std::streamoff offset) {
  std::uint32_t value = 0;
  file.seekg(offset).read(reinterpret_cast<char*>(&value), sizeof value);
  return file ? value : 0;
}

// Whether glibc's locale archive holds `name`. Read a piece at a time: an archive is mapped
// whole, which memory too short for it cannot do, and then its locales must still count as
// installed.
bool archived(const std::string& name) {
  std::ifstream archive("/usr/lib/locale/locale-archive", std::ios::binary);
  // The header: the magic number, a serial, then the name table's offset, used and size
  // (entries of hash, name offset and record offset). The names are stored normalized.
  constexpr std::uint32_t magic = 0xde020109;
  if (wordAt(archive, 0) != magic) {
    return false;
  }
  const std::uint32_t table = wordAt(archive, 8);
  const std::uint32_t size = wordAt(archive, 16);
  for (std::uint32_t entry = 0; entry < size && archive; ++entry) {
    const std::streamoff at = table + std::streamoff{12} * entry;
    std::string stored;
    if (wordAt(archive, at + 8) != 0 &&
        std::getline(archive.seekg(wordAt(archive, at + 4)), stored, '\0') &&
        stored == normalized(name)) {
      return true;
    }
  }
  return false;
}

// LOCPATH's directories, in order; none where it is unset or empty, as glibc takes it.
std::vector<std::string> locpathDirectories() {
  std::vector<std::string> directories;
  const std::string path = variable("LOCPATH");
  for (std::size_t start = 0; start < path.size();) {
    const std::size_t end = std::min(path.find(':', start), path.size());
    if (end > start) {
      directories.push_back(path.substr(start, end - start));
    }
    start = end + 1;
  }
  return directories;
}

// The names glibc tries for `name` in a directory of compiled locales, most specific first:
// language[_territory][.charset][@modifier] with and without the modifier, the territory and
// the character set (as given or normalized), the language always.
std::vector<std::string> namesTried(const std::string& name) {
  const std::size_t at = std::min(name.find('@'), name.size());
  const std::size_t dot = std::min(name.find('.'), at);
  const std::size_t underscore = std::min(name.find('_'), dot);
  const std::string modifier = name.substr(at);
  const std::string territory = name.substr(underscore, dot - underscore);
  const std::string charset = name.substr(dot, at - dot);
  const std::string normalizedForm =
      charset.empty() ? "" : "." + normalizedCharset(charset.substr(1));
  std::vector<std::string> names;
  for (const std::string& m : {modifier, std::string()}) {
    for (const std::string& t : {territory, std::string()}) {
      for (const std::string& c : {charset, normalizedForm, std::string()}) {
        std::string tried = name.substr(0, underscore) + t + c + m;
        if (std::find(names.begin(), names.end(), tried) == names.end()) {
          names.push_back(std::move(tried));
        }
      }
    }
  }
  return names;
}

// The character set of the compiled locale in `directory`, normalized, as its LC_CTYPE names
// it (glibc's file: a magic number, the count of items, each item's offset; the character
// set is item 14, CODESET); empty where that cannot be read.
std::string charsetIn(const std::string& directory) {
  std::ifstream file(directory + "/LC_CTYPE", std::ios::binary);
  constexpr std::uint32_t magic = 0x20090720;
  constexpr std::uint32_t item = 14;
  std::string charset;
  if (wordAt(file, 0) == magic && wordAt(file, 4) > item &&
      std::getline(file.seekg(wordAt(file, 8 + 4 * item)), charset, '\0')) {
    return normalizedCharset(charset);
  }
  return "";
}

// Whether one of `directories` holds the locale `name` under a name glibc tries for it. Where
// the name has a character set, the locale there must be in it, as glibc refuses one in
// another; a locale whose character set cannot be read (a damaged one) counts all the same.
bool inDirectories(const std::string& name, const std::vector<std::string>& directories) {
  const std::size_t at = std::min(name.find('@'), name.size());
  const std::size_t dot = std::min(name.find('.'), at);
  const std::string wanted = dot < at ? normalizedCharset(name.substr(dot + 1, at - dot - 1)) : "";
  std::error_code error;
  for (const std::string& tried : namesTried(name)) {
    for (const std::string& directory : directories) {
      const std::string locale = directory + "/" + tried;
      if (!std::filesystem::is_directory(locale, error)) {
        continue;
      }
      const std::string charset = wanted.empty() ? "" : charsetIn(locale);
      if (charset.empty() || charset == wanted) {
        return true;
      }
    }
  }
  return false;
}

// Whether the system has the locale `name`, whether or not it loads, where glibc looks: with
// LOCPATH set, in its directories and glibc's own but not in the locale archive; else in the
// archive and glibc's directory.
bool installed(const std::string& name) {
  if (name.find('/') != std::string::npos) {
    return false;  // an entry's name, never a path
  }
  std::vector<std::string> directories = locpathDirectories();
  if (directories.empty() && archived(name)) {
    return true;
  }
  directories.emplace_back("/usr/lib/locale");
  return inDirectories(name, directories);
}

// The commands, a line each, that compile the locale `name` by `recipe` where glibc will find
// it: into the system's archive, or with LOCPATH set into its first directory that exists
// (the first, made beforehand, where none does).
std::string localedefCommand(const std::string& name, const Recipe& recipe,
                             const std::vector<std::string>& path) {
  const std::string command = "localedef -i " + recipe.source + " -f " + recipe.charmap + " ";
  if (path.empty()) {
    return command + shown(name);
  }
  const auto existing = std::find_if(path.begin(), path.end(), [](const std::string& directory) {
    std::error_code error;
    return std::filesystem::is_directory(directory, error);
  });
  const std::string directory = shellWord(existing != path.end() ? *existing : path.front());
  const std::string made = existing != path.end() ? "" : "mkdir -p " + directory + "\n  ";
  return made + command + directory + "/" + shown(name);
}

// What the warning says of a locale that is not installed where glibc looks, and how to get
// it where this system has the means: root installs it into the system; with LOCPATH set,
// which hides the system's locale archive, anyone can compile it into LOCPATH, and where the
// archive has it, the program finds it without LOCPATH. The command on a line of its own.
std::string notInstalled(const std::string& name) {
  const std::optional<Recipe> recipe = recipeFor(name);
  const std::vector<std::string> path = locpathDirectories();
  std::string text;
  if (path.empty() && recipe) {
    text = "не установлена в системе.\n  Установить её может root:";
  } else if (!path.empty() && archived(name)) {
    text =
        "не установлена в каталогах LOCPATH.\n"
        "  Она есть в системном архиве локалей, но при заданной LOCPATH его не читают:\n"
        "  запустите программу без LOCPATH";
    text += recipe ? " или установите её туда:" : ".";
  } else if (recipe) {
    text = "не установлена в каталогах LOCPATH.\n  Установить её туда может любой пользователь:";
  } else {
    return "не установлена, и описания её в системе нет";
  }
  return recipe ? text + "\n  " + localedefCommand(name, *recipe, path) : text;
}

}  // namespace

std::string whyNotLoaded(const std::string& name) {
  if (installed(name) || partlyLoads(name)) {
    // Not enough memory, or damaged files: installing it again is no advice to give.
    return "установлена, но загрузить её не удалось";
  }
  return notInstalled(name);
}

}  // namespace console
