#include "console.h"

#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <optional>
#include <streambuf>
#include <utility>

#include "platform.h"

namespace console {

namespace {

// Output bytes shared by cout and wcout, written to the sink a block at a time.
class OutputBytes {
 public:
  static constexpr std::size_t capacity = 2 * outputBlock;

  explicit OutputBytes(ByteSink& sink)
      : sink_(sink), buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

  void append(const char* data, std::size_t size) {
    if (size > capacity) {
      flush();
      if (!sink_.write(data, size)) {
        failed_ = true;
      }
      return;
    }
    std::memcpy(reserve(size), data, size);
    used_ += size;
    flushIfFull();
  }

  void appendEncoded(std::wstring_view text, const Codec& codec) {
    // In runs small enough that the worst case always fits the buffer.
    constexpr std::size_t runLength = 4096;
    do {
      const std::wstring_view run = text.substr(0, runLength);
      char* start = reserve(codec.maxEncodedLength(run.size()));
      used_ += static_cast<std::size_t>(codec.encode(run, start) - start);
      text.remove_prefix(run.size());
    } while (!text.empty());
    flushIfFull();
  }

  // Writes everything pending. Returns false if this or any earlier write failed.
  bool flush() {
    if (used_ > 0) {
      if (!sink_.write(buffer_.get(), used_)) {
        failed_ = true;
      }
      used_ = 0;
    }
    return !failed_;
  }

  bool failed() const { return failed_; }

 private:
  // Whole blocks only, as stdio writes them: a pipe holds 64 KiB, and a write of more than
  // that waits for the reader on the way.
  void flushIfFull() {
    if (used_ >= outputBlock) {
      const std::size_t whole = used_ - used_ % outputBlock;
      if (!sink_.write(buffer_.get(), whole)) {
        failed_ = true;
      }
      used_ -= whole;
      std::memmove(buffer_.get(), buffer_.get() + whole, used_);
    }
  }

  // Room for `size` more bytes, writing out what is pending if need be.
  char* reserve(std::size_t size) {
    if (capacity - used_ < size) {
      flush();
    }
    return buffer_.get() + used_;
  }

  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

class InputView {
 public:
  // Consumes what was read and gives back what was only looked at.
  virtual void release() = 0;

 protected:
  ~InputView() = default;
};

// Input bytes shared by cin and wcin. Only one of the two reads from it at a time; when the
// other one starts, the first gives back every byte it has looked at but not consumed.
class InputBytes {
 public:
  static constexpr std::size_t capacity = std::size_t{64} * 1024;

  // Pending output is written before any read that could wait.
  InputBytes(ByteSource& source, OutputBytes& flushBeforeWait)
      : source_(source),
        flushBeforeWait_(flushBeforeWait),
        buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

  // Makes `view` the reader; the previous reader gives back what it has not consumed.
  void activate(InputView* view) {
    if (active_ != view) {
      if (active_ != nullptr) {
        active_->release();
      }
      active_ = view;
    }
  }

  const char* begin() const { return buffer_.get() + pos_; }
  const char* end() const { return buffer_.get() + end_; }
  void consume(std::size_t count) { pos_ += count; }
  bool ended() const { return ended_; }

  // Reads more bytes after those not yet consumed, which may move in memory.
  // Returns false, and stays so, once input has ended.
  bool fill() {
    if (ended_) {
      return false;
    }
    if (pos_ > 0) {
      std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
      end_ -= pos_;
      pos_ = 0;
    }
    if (!source_.readyWithoutWaiting()) {
      flushBeforeWait_.flush();
    }
    const std::ptrdiff_t count = source_.read(buffer_.get() + end_, capacity - end_);
    if (count <= 0) {
      ended_ = true;  // a read error too: nothing more can come
      return false;
    }
    end_ += static_cast<std::size_t>(count);
    return true;
  }

 private:
  ByteSource& source_;
  OutputBytes& flushBeforeWait_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  InputView* active_ = nullptr;
};

// cin's buffer: the shared input bytes as they are.
class NarrowInputBuffer final : public std::streambuf, public InputView {
 public:
  explicit NarrowInputBuffer(InputBytes& bytes) : bytes_(bytes) {}

  void release() override {
    if (eback() != nullptr) {
      bytes_.consume(static_cast<std::size_t>(gptr() - eback()));
      setg(nullptr, nullptr, nullptr);
    }
  }

 protected:
  int_type underflow() override {
    bytes_.activate(this);
    release();
    if (bytes_.begin() == bytes_.end() && !bytes_.fill()) {
      return traits_type::eof();
    }
    // The get area is the shared buffer itself: bytes are consumed by moving gptr().
    char* begin = const_cast<char*>(bytes_.begin());
    setg(begin, begin, const_cast<char*>(bytes_.end()));
    return traits_type::to_int_type(*gptr());
  }

 private:
  InputBytes& bytes_;
};

// wcin's buffer: characters decoded from the shared input bytes, a run at a time, each
// remembering where its bytes end so that an unread one can be given back exactly.
class WideInputBuffer final : public std::wstreambuf, public InputView {
 public:
  WideInputBuffer(InputBytes& bytes, const Codec& codec) : bytes_(bytes), codec_(codec) {}

  void release() override {
    if (eback() != nullptr) {
      const auto used = static_cast<std::size_t>(gptr() - eback());
      bytes_.consume(used == 0 ? 0 : byteEnds_[used - 1]);
      setg(nullptr, nullptr, nullptr);
    }
  }

 protected:
  int_type underflow() override {
    bytes_.activate(this);
    release();
    for (;;) {
      // Only waits for more input when not a single character is ready.
      const std::size_t count =
          codec_.decode(bytes_.begin(), bytes_.end(), bytes_.ended(), chars_, byteEnds_, runLength);
      if (count > 0) {
        setg(chars_, chars_, chars_ + count);
        return traits_type::to_int_type(chars_[0]);
      }
      if (bytes_.ended()) {
        return traits_type::eof();
      }
      bytes_.fill();
    }
  }

 private:
  static constexpr std::size_t runLength = 256;

  InputBytes& bytes_;
  const Codec& codec_;
  wchar_t chars_[runLength] = {};
  std::size_t byteEnds_[runLength] = {};  // byte offset after each char, from the run's start
};

// cout's buffer: bytes straight into the shared output.
class NarrowOutputBuffer final : public std::streambuf {
 public:
  explicit NarrowOutputBuffer(OutputBytes& bytes) : bytes_(bytes) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const char byte = traits_type::to_char_type(c);
      bytes_.append(&byte, 1);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const char* s, std::streamsize n) override {
    bytes_.append(s, static_cast<std::size_t>(n));
    return n;
  }

  // A flush only promises that the text shows before the next wait for input, which
  // InputBytes::fill() keeps; writing here would cost a system call per line.
  int sync() override { return bytes_.failed() ? -1 : 0; }

 private:
  OutputBytes& bytes_;
};

// wcout's buffer: characters encoded into the shared output, whole runs at a time. The last
// long run is remembered with its bytes: the menu is written again and again, and comparing
// it costs far less than converting it.
class WideOutputBuffer final : public std::wstreambuf {
 public:
  WideOutputBuffer(OutputBytes& bytes, const Codec& codec) : bytes_(bytes), codec_(codec) {}

 protected:
  int_type overflow(int_type c) override {
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
      const wchar_t ch = traits_type::to_char_type(c);
      bytes_.appendEncoded(std::wstring_view(&ch, 1), codec_);
    }
    return traits_type::not_eof(c);
  }

  std::streamsize xsputn(const wchar_t* s, std::streamsize n) override {
    const std::wstring_view run(s, static_cast<std::size_t>(n));
    if (run.size() < rememberedLength) {
      bytes_.appendEncoded(run, codec_);
    } else {
      if (run != lastRun_) {
        lastRun_ = run;
        lastRunBytes_.clear();
        codec_.encode(run, lastRunBytes_);
      }
      bytes_.append(lastRunBytes_.data(), lastRunBytes_.size());
    }
    return n;
  }

  int sync() override { return bytes_.failed() ? -1 : 0; }

 private:
  static constexpr std::size_t rememberedLength = 256;  // runs this long or longer

  OutputBytes& bytes_;
  const Codec& codec_;
  std::wstring lastRun_;
  std::string lastRunBytes_;
};

const Console* attachedConsole = nullptr;

}  // namespace

struct Console::Streams {
  Streams(ByteSource& source, ByteSink& sink, const Codec& codec)
      : output(sink),
        input(source, output),
        narrowIn(input),
        wideIn(input, codec),
        narrowOut(output),
        wideOut(output, codec) {}

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
  WideInputBuffer wideIn;
  NarrowOutputBuffer narrowOut;
  WideOutputBuffer wideOut;
  std::optional<Saved> saved;
};

Console::Console(ByteSource& source, ByteSink& sink, const std::locale& user)
    : Console(source, sink, consoleLocale(user)) {}

Console::Console(ByteSource& source, ByteSink& sink, ConsoleLocale locale)
    : locale_(std::move(locale)),
      streams_(std::make_unique<Streams>(source, sink, locale_.codec)) {}

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
  std::wcin.imbue(locale_.locale);
  std::wcout.imbue(locale_.locale);
  attachedConsole = this;
}

bool Console::flush() { return streams_->output.flush(); }

const ConsoleLocale& conventions() {
  static const ConsoleLocale none{Codec::utf8(), std::locale::classic()};
  return attachedConsole != nullptr ? attachedConsole->locale() : none;
}

int exitStatus(Console& console, bool outputClosedAtStart) {
  if (console.flush() && !outputClosedAtStart) {
    return EXIT_SUCCESS;
  }
  std::cerr << narrowText(L"matrix-menu: не весь вывод удалось записать на стандартный вывод\n");
  return EXIT_FAILURE;
}

std::string narrowText(std::wstring_view text) {
  std::string bytes;
  conventions().codec.encode(text, bytes);
  return bytes;
}

}  // namespace console
