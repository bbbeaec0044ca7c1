// The fuzzers' model of a session, and the checks of a file load.
#include "session_check.h"

#include <iconv.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <functional>
#include <map>
#include <optional>
#include <utility>

#include "expected.h"
#include "fake_console.h"
#include "matrix_file.h"
#include "matrix_state.h"
#include "menu.h"
#include "test_files.h"

namespace testing_support {

namespace {

using expected::recode;

// The messages by which a turn tells what it did, in one console encoding.
struct Messages {
  explicit Messages(const char* charset)
      : checked(recode(expected::checked, charset)),
        ascending(recode(expected::sortedAscending, charset)),
        descending(recode(expected::sortedDescending, charset)),
        saved(recode(expected::saved, charset)),
        loaded(recode(expected::loaded, charset)),
        notOpenedForReading(recode(expected::openForReading, charset)),
        failure(recode(expected::errorPrefix, charset)),
        prompt(
            recode(expected::prompt(0, 0).substr(0, expected::prompt(0, 0).find(" A[")), charset)),
        original(recode(expected::original, charset)),
        menu(recode(expected::menu, charset)) {}

  std::string checked, ascending, descending, saved, loaded, notOpenedForReading, failure, prompt,
      original, menu;
};

const Messages& messagesIn(const char* charset) {
  static std::map<std::string, Messages> made;
  return made.try_emplace(charset, charset).first->second;
}

// The row check, worked out another way: a sorted row is constant when its ends are equal.
std::array<std::int32_t, ROWS> expectedB(const Matrix& matrix) {
  std::array<std::int32_t, ROWS> b{};
  for (std::size_t i = 0; i < ROWS; ++i) {
    b[i] =
        std::is_sorted(matrix[i].begin(), matrix[i].end()) && matrix[i].front() != matrix[i].back()
            ? 1
            : 0;
  }
  return b;
}

template <typename Order>
bool sortedEvenRows(const Matrix& before, const Matrix& after, Order order) {
  for (std::size_t i = 0; i < ROWS; ++i) {
    const bool wanted =
        i % 2 == 0 ? std::is_sorted(after[i].begin(), after[i].end(), order) &&
                         std::is_permutation(after[i].begin(), after[i].end(), before[i].begin())
                   : after[i] == before[i];
    if (!wanted) {
      return false;
    }
  }
  return true;
}

struct Turn {
  std::string_view out;  // what the turn wrote
  Matrix a;              // A before it
  std::array<std::int32_t, ROWS> b;
};

// Checks one turn of the loop; `inFile` is what the last successful save wrote.
std::string checkTurn(const Turn& turn, const Messages& m, std::optional<Matrix>& inFile) {
  // What the item wrote, after the menu and the end of line that follows the choice. Items
  // 3, 7 and 8 write one message and nothing else.
  const std::string_view item = turn.out.substr(std::min(turn.out.size(), m.menu.size() + 1));
  if (std::any_of(B.begin(), B.end(), [](std::int32_t v) { return v != 0 && v != 1; })) {
    return "B holds something other than 0 and 1";
  }
  if (item == m.checked) {
    return A != turn.a ? "the row check changed A" : B != expectedB(A) ? "B is wrong" : "";
  }
  if (B != turn.b) {
    return "B changed without a row check";
  }
  if (item.starts_with(m.original)) {  // items 2, 4 and 5
    if (item.find(m.ascending) != std::string_view::npos) {
      return sortedEvenRows(turn.a, A, std::less<>()) ? "" : "the ascending sort is wrong";
    }
    if (item.find(m.descending) != std::string_view::npos) {
      return sortedEvenRows(turn.a, A, std::greater<>()) ? "" : "the descending sort is wrong";
    }
  }
  if (item == m.saved) {
    inFile = A;
  } else if (item == m.loaded) {
    return inFile && A == *inFile ? "" : "a load gave something other than the last save";
  } else if (item == m.notOpenedForReading) {
    return inFile        ? "a saved file could not be opened"
           : A != turn.a ? "a failed load changed A"
                         : "";
  } else if (item.starts_with(m.failure)) {
    return "a save or load failed in a directory of the program's own";
  }
  return A != turn.a && !item.starts_with(m.prompt) ? "A changed without entry" : "";
}

// An empty string when `in` decodes cleanly in `charset`; otherwise where it does not. (A
// string of its own, as iconv takes a pointer to non-const.) The characters themselves are
// not needed, so they go through a small buffer.
std::string checkDecodes(std::string in, const char* charset) {
  iconv_t cd = ::iconv_open("UTF-32LE", charset);
  // NOLINTNEXTLINE(performance-no-int-to-ptr): iconv's error value
  if (cd == reinterpret_cast<iconv_t>(-1)) {
    return "iconv cannot decode " + std::string(charset);
  }
  char* from = in.data();
  std::size_t fromLeft = in.size();
  bool valid = true;
  while (fromLeft > 0 && valid) {
    char decoded[4096];
    char* to = decoded;
    std::size_t toLeft = sizeof decoded;
    valid = ::iconv(cd, &from, &fromLeft, &to, &toLeft) != static_cast<std::size_t>(-1) ||
            errno == E2BIG;
  }
  ::iconv_close(cd);
  if (!valid) {
    return "what the items wrote is not valid " + std::string(charset) + " at byte " +
           std::to_string(from - in.data());
  }
  return {};
}

}  // namespace

std::string checkSession(std::string_view input, const char* localeName) {
  const char* charset = expected::charsetOf(localeName);
  const Messages& messages = messagesIn(charset);
  MemoryConsole term(std::string(input), namedLocale(localeName), /*pauses=*/false);
  std::optional<Matrix> inFile;
  std::size_t shown = 0;
  std::string afterMenus;  // what the turns wrote besides the menu, to be decoded
  for (int turn = 0;; ++turn) {
    Turn done{{}, A, B};
    const bool goOn = runMenuIteration();
    const std::string& output = term.output();
    done.out = std::string_view(output).substr(shown);
    shown = output.size();
    if (!done.out.starts_with(messages.menu)) {
      return "turn " + std::to_string(turn) + " does not start with the menu";
    }
    afterMenus += done.out.substr(messages.menu.size());
    const std::string problem = checkTurn(done, messages, inFile);
    if (!problem.empty()) {
      return "turn " + std::to_string(turn) + ": " + problem;
    }
    if (!goOn) {
      break;
    }
  }
  return checkDecodes(std::move(afterMenus), charset);
}

std::string checkFileLoad(std::string_view bytes, const char* localeName) {
  const Messages& messages = messagesIn(expected::charsetOf(localeName));
  writeFile("matrix.txt", std::string(bytes));
  MemoryConsole term("", namedLocale(localeName), /*pauses=*/false);
  const Matrix untouched = {{{-1, -2, -3, -4, -5}, {}, {7, 7, 7, 7, 7}, {1, 2, 3, 4, 5}}};
  A = untouched;
  loadMatrixFromFile();
  if (!term.output().ends_with(messages.loaded)) {
    return A == untouched ? "" : "a failed load changed A";
  }
  const Matrix loaded = A;
  saveMatrixToFile();
  A = untouched;
  loadMatrixFromFile();
  if (!term.output().ends_with(messages.saved + messages.loaded) || A != loaded) {
    return "what loaded did not survive a save and a load";
  }
  return {};
}

}  // namespace testing_support
