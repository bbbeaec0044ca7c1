// The user's locale on POSIX systems: from the environment, under glibc's composite name
// where the categories differ (put together category by category on other C libraries); the
// digit-group separator of its numeric conventions as the locale defines it; and a warning
// that names each locale that cannot be loaded and why (whyNotLoaded).
#include "user_locale_posix.h"

#include <langinfo.h>
#include <locale.h>  // NOLINT(modernize-deprecated-headers): POSIX newlocale

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <cwchar>
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
  const std::string narrow = ::nl_langinfo_l(THOUSEP, conventions);
  const locale_t previous = ::uselocale(conventions);
  std::mbstate_t state{};
  wchar_t separator = 0;
  const std::size_t used = std::mbrtowc(&separator, narrow.data(), narrow.size(), &state);
  ::uselocale(previous);
  return used == narrow.size() ? separator : 0;
#endif
}

// The categories in the order of glibc's composite names; POSIX's own elsewhere.
constexpr const char* categories[] = {
    "LC_CTYPE",       "LC_NUMERIC",       "LC_TIME",    "LC_COLLATE",
    "LC_MONETARY",    "LC_MESSAGES",
#ifdef __GLIBC__
    "LC_PAPER",       "LC_NAME",          "LC_ADDRESS", "LC_TELEPHONE",
    "LC_MEASUREMENT", "LC_IDENTIFICATION"
#endif
};

// The variable that gives `category` its locale, as glibc finds it: LC_ALL, else the
// category's own, else LANG; none where none of them is set (the category is then C).
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
// can find the numeric conventions' own locale by it. Other C libraries have no such
// composite names: there the locale is put together category by category, and where they
// differ the numeric conventions' own locale is not known.
std::locale environmentLocale() {
#ifdef __GLIBC__
  std::string composite;
  bool same = true;
  for (const char* category : categories) {
    const std::string name = environmentName(category);
    same = same && name == environmentName(categories[0]);
    composite += (composite.empty() ? "" : ";") + std::string(category) + "=" + name;
  }
  return std::locale(same ? environmentName(categories[0]) : composite);
#else
  const std::string texts = environmentName("LC_CTYPE");
  std::locale user(texts);
  for (const auto& [category, part] :
       {std::pair{"LC_NUMERIC", std::locale::numeric}, std::pair{"LC_TIME", std::locale::time},
        std::pair{"LC_COLLATE", std::locale::collate},
        std::pair{"LC_MONETARY", std::locale::monetary},
        std::pair{"LC_MESSAGES", std::locale::messages}}) {
    if (const std::string name = environmentName(category); name != texts) {
      user = std::locale(user, name.c_str(), part);
    }
  }
  return user;
#endif
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

}  // namespace

bool loads(const std::string& name, int mask) {
  const locale_t loaded = ::newlocale(mask, name.c_str(), nullptr);
  if (loaded == nullptr) {
    return false;
  }
  ::freelocale(loaded);
  return true;
}

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

std::locale platform::userLocale() {
  try {
    return environmentLocale();
  } catch (const std::exception&) {  // not found, or no memory to load it with
    for (const auto& [name, value] : namesInEffect()) {
      if (loads(value)) {
        continue;
      }
      std::cerr << "matrix-menu: локаль «" << shown(value) << "» (" << name << ") "
                << whyNotLoaded(value) << "\n";
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
  const std::string narrow = ::nl_langinfo_l(THOUSEP, conventions);
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
