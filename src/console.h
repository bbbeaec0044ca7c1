// The console: cin, cout, wcin and wcout as four views of one standard input and one
// standard output, with the wide views converting in the encoding of the user's locale.
//
// glibc fixes a C stream's orientation (bytes or wide characters) at first use, so mixing
// narrow and wide I/O on stdin/stdout loses or garbles text. Here stdio is never used:
// all four streams get stream buffers of this module that share one input byte buffer
// over descriptor 0 and one output byte buffer over descriptor 1.
#pragma once

#include <cstddef>
#include <locale>
#include <memory>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace console {

// Where input bytes come from.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes, waiting if none are there yet. Returns 0 once input has ended.
  virtual std::size_t read(char* buffer, std::size_t size) = 0;
  // True when read() would not wait: bytes are waiting, or input has ended.
  virtual bool readyWithoutWaiting() { return true; }
};

// Where output bytes go.
class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns false when the bytes could not all be written.
  virtual bool write(const char* data, std::size_t size) = 0;
};

// Converts between wide characters and the bytes of one character encoding.
class Codec {
 public:
  // The encoding of `loc`'s character type category; UTF-8 where that encoding cannot
  // represent Cyrillic text (the C locale, ISO-8859-1, ...).
  static Codec forLocale(const std::locale& loc);
  // The encoding of `loc`'s character type category, whatever it can represent.
  static Codec ofLocale(const std::locale& loc);
  static Codec utf8();

  // Decodes the character that starts at `from`. Returns the number of bytes it takes, or
  // 0 when [from, end) holds only the beginning of a character. An invalid byte decodes
  // as U+FFFD and takes one byte, so it is never confused with the end of input.
  std::size_t decode(const char* from, const char* end, wchar_t& out) const;
  // Appends `text` in this encoding; a character it cannot represent becomes '?'.
  void encode(std::wstring_view text, std::string& out) const;
  // The same into `out`, which has room for maxEncodedLength(text.size()) bytes.
  // Returns the end of what was written.
  char* encode(std::wstring_view text, char* out) const;
  std::size_t maxEncodedLength(std::size_t chars) const { return chars * maxBytesPerChar_; }
  bool canEncode(wchar_t c) const;

 private:
  enum class Kind { utf8, singleByte, facet };
  using Facet = std::codecvt<wchar_t, char, std::mbstate_t>;

  Codec() = default;
  std::size_t decodeWithFacet(const char* from, const char* end, wchar_t& out) const;
  char* encodeWithFacet(std::wstring_view text, char* out) const;
  const char* findByte(wchar_t c) const;  // singleByte: the byte for `c`, or null

  Kind kind_ = Kind::utf8;
  std::size_t maxBytesPerChar_ = 4;
  std::locale locale_;  // keeps facet_ alive
  const Facet* facet_ = nullptr;
  std::vector<wchar_t> byteToChar_;                   // singleByte: 256 entries
  std::vector<std::pair<wchar_t, char>> charToByte_;  // singleByte: sorted by character
};

// The user's locale as the console uses it: numbers are grouped with a separator that the
// console's encoding can show. glibc's ru_RU gives U+202F, which CP1251 and KOI8-R lack; there
// the locale's own narrow separator (a no-break space) is used, and where none fits, no
// grouping at all.
std::locale consoleLocale(const std::locale& user, const Codec& codec);

// Output bytes shared by cout and wcout. They reach the sink when 64 KiB are pending, before
// the program waits for input, and on flush(): an interactive session costs one write per
// wait, a piped script one per 64 KiB.
class OutputBytes {
 public:
  static constexpr std::size_t flushThreshold = std::size_t{64} * 1024;
  static constexpr std::size_t capacity = 2 * flushThreshold;

  explicit OutputBytes(ByteSink& sink);
  void append(const char* data, std::size_t size);
  void appendEncoded(std::wstring_view text, const Codec& codec);
  // Writes everything pending. Returns false if this or any earlier write failed.
  bool flush();
  bool failed() const { return failed_; }

 private:
  void flushIfFull();
  // Room for `size` more bytes, writing out what is pending if need be.
  char* reserve(std::size_t size);

  ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

class InputView;

// Input bytes shared by cin and wcin. Only one of the two reads from it at a time; when the
// other one starts, the first gives back every byte it has looked at but not consumed.
class InputBytes {
 public:
  static constexpr std::size_t capacity = std::size_t{64} * 1024;

  // Pending output in `flushBeforeWait` is written before any read that could wait.
  InputBytes(ByteSource& source, OutputBytes* flushBeforeWait);

  // Makes `view` the reader; the previous reader gives back what it has not consumed.
  void activate(InputView* view);
  const char* begin() const { return buffer_.get() + pos_; }
  const char* end() const { return buffer_.get() + end_; }
  void consume(std::size_t count) { pos_ += count; }
  // Reads more bytes after those not yet consumed, which may move in memory.
  // Returns false, and stays so, once input has ended.
  bool fill();

 private:
  ByteSource& source_;
  OutputBytes* flushBeforeWait_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  InputView* active_ = nullptr;
};

class InputView {
 public:
  // Consumes what was read and gives back what was only looked at.
  virtual void release() = 0;

 protected:
  ~InputView() = default;
};

// cin's buffer: the shared input bytes as they are.
class NarrowInputBuffer final : public std::streambuf, public InputView {
 public:
  explicit NarrowInputBuffer(InputBytes& bytes) : bytes_(bytes) {}
  void release() override;

 protected:
  int_type underflow() override;

 private:
  InputBytes& bytes_;
};

// wcin's buffer: characters decoded from the shared input bytes, a run at a time, each
// remembering where its bytes end so that an unread one can be given back exactly.
class WideInputBuffer final : public std::wstreambuf, public InputView {
 public:
  WideInputBuffer(InputBytes& bytes, const Codec& codec) : bytes_(bytes), codec_(codec) {}
  void release() override;

 protected:
  int_type underflow() override;

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
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
  int sync() override;

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
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const wchar_t* s, std::streamsize n) override;
  int sync() override;

 private:
  static constexpr std::size_t rememberedLength = 256;  // runs this long or longer

  OutputBytes& bytes_;
  const Codec& codec_;
  std::wstring lastRun_;
  std::string lastRunBytes_;
};

// The four views over one source and one sink. attach() puts them under std::cin, std::cout,
// std::wcin and std::wcout; the destructor puts the previous buffers and locales back.
class Console {
 public:
  Console(ByteSource& source, ByteSink& sink, const std::locale& user);
  ~Console();
  Console(const Console&) = delete;
  Console& operator=(const Console&) = delete;

  void attach();
  bool flush() { return output_.flush(); }
  const Codec& codec() const { return codec_; }
  const std::locale& locale() const { return locale_; }

 private:
  struct Saved {
    std::streambuf* cinBuffer;
    std::streambuf* coutBuffer;
    std::wstreambuf* wcinBuffer;
    std::wstreambuf* woutBuffer;
    std::locale wcinLocale;
    std::locale wcoutLocale;
  };

  Codec codec_;
  std::locale locale_;
  OutputBytes output_;
  InputBytes input_;
  NarrowInputBuffer narrowIn_;
  WideInputBuffer wideIn_;
  NarrowOutputBuffer narrowOut_;
  WideOutputBuffer wideOut_;
  std::optional<Saved> saved_;  // what attach() replaced
};

// Sets up the console over the process's standard input and output for the user's locale,
// installs the console's locale as the global one, and writes pending output at exit.
void startStandardConsole(const std::locale& user);

// `text` in the console's encoding, for the narrow stream cout.
std::string narrowText(std::wstring_view text);

}  // namespace console
