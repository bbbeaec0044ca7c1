#include "console.h"

#include <cstdlib>
#include <iostream>
#include <memory>
#include <new>
#include <optional>
#include <streambuf>
#include <utility>

#include "console_platform.h"
#include "input_bytes.h"
#include "output_bytes.h"

namespace console {

namespace {

const Console* attachedConsole = nullptr;

}  // namespace

struct Console::Streams {
  Streams(byte_io::ByteSource& source, byte_io::ByteSink& sink, const Codec& codec)
      : output(sink),
        // Everything written shows before the program waits for input.
        input(source, inputCapacity, [this] { output.flush(); }),
        narrowIn(input),
        wideIn(input, codec),
        narrowOut(output),
        wideOut(output, codec) {}

  static constexpr std::size_t inputCapacity = std::size_t{64} * 1024;

  // What attach() replaced.
  struct Saved {
    std::streambuf* cinBuffer;
    std::streambuf* coutBuffer;
    std::wstreambuf* wcinBuffer;
    std::wstreambuf* wcoutBuffer;
    std::locale wcinLocale;
    std::locale wcoutLocale;
  };

  OutputBytes output;
  InputBytes input;
  NarrowInputBuffer narrowIn;
  DecodingBuffer wideIn;
  NarrowOutputBuffer narrowOut;
  WideOutputBuffer wideOut;
  std::optional<Saved> saved;
};

Console::Console(byte_io::ByteSource& source, byte_io::ByteSink& sink, Conventions conventions)
    : conventions_(std::move(conventions)),
      streams_(std::make_unique<Streams>(source, sink, conventions_.codec)) {}

Console::~Console() {
  streams_->output.flush();
  if (streams_->saved) {
    const Streams::Saved& s = *streams_->saved;
    std::cin.rdbuf(s.cinBuffer);
    std::cout.rdbuf(s.coutBuffer);
    std::wcin.rdbuf(s.wcinBuffer);
    std::wcout.rdbuf(s.wcoutBuffer);
    std::wcin.imbue(s.wcinLocale);
    std::wcout.imbue(s.wcoutLocale);
    std::cin.clear();
    std::cout.clear();
    std::wcin.clear();
    std::wcout.clear();
  }
  if (attachedConsole == this) {
    attachedConsole = nullptr;
  }
}

void Console::attach() {
  Streams& s = *streams_;
  if (!s.saved) {
    s.saved.emplace(Streams::Saved{std::cin.rdbuf(), std::cout.rdbuf(), std::wcin.rdbuf(),
                                   std::wcout.rdbuf(), std::wcin.getloc(), std::wcout.getloc()});
  }
  std::cin.rdbuf(&s.narrowIn);
  std::cout.rdbuf(&s.narrowOut);
  std::wcin.rdbuf(&s.wideIn);
  std::wcout.rdbuf(&s.wideOut);
  std::wcin.imbue(conventions_.locale);
  std::wcout.imbue(conventions_.locale);
  attachedConsole = this;
}

bool Console::flush() { return streams_->output.flush(); }

const Conventions& conventions() {
  static const Conventions none{Codec::utf8(), std::locale::classic()};
  return attachedConsole != nullptr ? attachedConsole->conventions() : none;
}

std::string narrowText(std::wstring_view text) {
  std::string bytes;
  conventions().codec.encode(text, bytes);
  return bytes;
}

namespace {

// The console over the standard input and output, and whether that output was closed at
// start. Never destroyed: the standard library flushes cout and wcout after main returns,
// and their buffers must still exist then.
struct StandardConsole {
  Console console;
  bool outputClosedAtStart;
};
StandardConsole* standardConsole = nullptr;

}  // namespace

void startStandardConsole() {
  if (standardConsole != nullptr) {
    return;
  }
  const bool outputClosedAtStart = platform::setUpProcess().outputClosed;
  const std::locale user = platform::userLocale();
  Conventions userConventions = conventionsFor(user);
  byte_io::ByteSource& input = platform::standardInput(userConventions.codec);
  byte_io::ByteSink& output = platform::standardOutput(userConventions.codec);
  standardConsole =
      new StandardConsole{Console(input, output, std::move(userConventions)), outputClosedAtStart};
  // The console's streams and the matrix file take the console's variant of the user's
  // locale, from conventions(); the global locale stays the classic one, which nothing reads.
  standardConsole->console.attach();
}

int finishStandardConsole() {
  if (standardConsole == nullptr ||
      (standardConsole->console.flush() && !standardConsole->outputClosedAtStart)) {
    return EXIT_SUCCESS;
  }
  std::cerr << narrowText(L"matrix-menu: не весь вывод удалось записать на стандартный вывод\n");
  return EXIT_FAILURE;
}

int finishWithoutMemory() {
  if (standardConsole != nullptr) {
    standardConsole->console.flush();
  }
  // The line in the console's encoding where there is memory left to convert it.
  static constexpr char utf8[] = "matrix-menu: недостаточно памяти\n";
  try {
    std::cerr << narrowText(L"matrix-menu: недостаточно памяти\n");
  } catch (const std::bad_alloc&) {
    std::cerr << utf8;
  }
  return EXIT_FAILURE;
}

}  // namespace console
