// The end-to-end transcript tables: sessions of the built program through pipes and the
// output each must give, byte for byte. program_test.cpp and program_file_test.cpp run
// them against the program for Linux, program_windows_test.cpp against the one for Windows
// under Wine.
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

// A Linux locale chosen by `variable` (LC_ALL, LANG), with its console's charset.
Locale linuxLocale(const char* name, const char* variable = "LC_ALL");

struct Transcript {
  const char* name;
  std::string input;
  std::string output;  // UTF-8, LF line ends
};

// Runs each case under each locale: the output recoded to the locale's charset, exit status
// 0, nothing on standard error.
void expectTranscripts(const std::vector<Transcript>& cases, const std::vector<Locale>& locales);

// The tables.
std::vector<Transcript> choices();
// Entry with one invalid value, then the display, where 1234 shows with `separator` between
// its digit groups, or with none ("").
std::vector<Transcript> entryAndDisplay(const std::string& separator);
std::vector<Transcript> rowCheckAndSorting();
std::vector<Transcript> endOfInput();
std::vector<Transcript> saveAndLoad();

}  // namespace transcripts
