// The end-to-end transcript tables: sessions of the built program through pipes and the
// output each must give, byte for byte. menu_test.cpp runs them against the program for
// Linux, windows_test.cpp against the one for Windows under Wine.
#pragma once

#include <string>
#include <vector>

namespace transcripts {

struct Locale {
  const char* name;
  std::vector<std::string> environment;
  const char* charset;                   // of the transcript
  const char* windowsProgram = nullptr;  // a .exe to run under Wine: CR LF lines both ways
};

struct Transcript {
  const char* name;
  std::string input;
  std::string expected;  // UTF-8, LF line ends
};

// Runs each case under each locale: the output recoded to the locale's charset, exit status
// 0, nothing on standard error.
void expectTranscripts(const std::vector<Transcript>& cases, const std::vector<Locale>& locales);

// Pieces of the expected output.
extern const std::string menu;
extern const std::string chosen;  // the menu, then the end of line after the choice
extern const std::string zeros;
extern const std::string zeroMatrix;
std::string allPrompts();
std::string times(const std::string& text, std::size_t count);
std::string table(const std::vector<std::string>& rows);

// The tables.
std::vector<Transcript> choices();
// Entry with one invalid value, then the display, where 1234 shows with `separator`.
std::vector<Transcript> entryAndDisplay(const std::string& separator);
std::vector<Transcript> rowCheckAndSorting();
std::vector<Transcript> endOfInput();
std::vector<Transcript> saveAndLoad();

}  // namespace transcripts
