#include "session_check.h"

#include <iconv.h>

#include <cerrno>
#include <locale>

#include "console.h"
#include "menu.h"
#include "test_support.h"

namespace testing_support {

std::string runSession(std::string_view input, const char* localeName) {
  MemoryConsole term(std::string(input), namedLocale(localeName), /*pauses=*/false);
  runMenuLoop();
  return term.output();
}

std::string checkOutput(std::string_view output, const char* charset) {
  iconv_t cd = ::iconv_open("UTF-32LE", charset);
  std::string in(output);
  char* from = in.data();
  std::size_t fromLeft = in.size();
  std::string out(in.size() * 4 + 4, '\0');
  char* to = out.data();
  std::size_t toLeft = out.size();
  const std::size_t result = ::iconv(cd, &from, &fromLeft, &to, &toLeft);
  ::iconv_close(cd);
  if (result == static_cast<std::size_t>(-1)) {
    return "output is not valid " + std::string(charset) + " at byte " +
           std::to_string(from - in.data());
  }
  if (!output.starts_with(recode(menuText(), charset))) {
    return "output does not start with the menu";
  }
  return {};
}

}  // namespace testing_support
