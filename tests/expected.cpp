// The texts of expected.h that are built rather than typed, and iconv as the oracle.
#include "expected.h"

#include <iconv.h>

#include <cerrno>
#include <stdexcept>
#include <utility>

namespace expected {

std::string prompt(int row, int column) {
  return "Введите элемент A[" + std::to_string(row) + "][" + std::to_string(column) + "]: ";
}

std::string allPrompts() {
  std::string result;
  for (int i = 0; i < 4; ++i) {
    for (int j = 0; j < 5; ++j) {
      result += prompt(i, j);
    }
  }
  return result;
}

const char* charsetOf(std::string_view locale) {
  static constexpr std::pair<std::string_view, const char*> withCyrillic[] = {
      {"ru_RU.UTF-8", "UTF-8"},
      {"ru_RU.CP1251", "CP1251"},
      {"ru_RU.KOI8-R", "KOI8-R"},
      {"ru_RU", "ISO-8859-5"},
      {"ja_JP.EUC-JP", "EUC-JP"}};
  for (const auto& [name, charset] : withCyrillic) {
    if (name == locale) {
      return charset;
    }
  }
  return "UTF-8";
}

std::string recode(std::string_view utf8, const char* charset) {
  iconv_t cd = ::iconv_open(charset, "UTF-8");
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's error value
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    throw std::runtime_error("iconv_open " + std::string(charset));
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
    throw std::runtime_error("iconv: " + std::to_string(errno));
  }
  out.resize(out.size() - toLeft);
  return out;
}

}  // namespace expected
