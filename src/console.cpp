#include "console.h"

#include <algorithm>
#include <cstring>
#include <iostream>
#include <memory>

namespace console {

namespace {

constexpr wchar_t replacementChar = 0xFFFD;

// The Cyrillic letters of the program's texts; an encoding that lacks one cannot show them.
constexpr wchar_t firstCyrillic = 0x0410;  // А
constexpr wchar_t lastCyrillic = 0x044F;   // я

const Codec* currentCodec = nullptr;

char* writeUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | (c >> 6));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | (c >> 12));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | (c >> 18));
    *out++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    *out++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

bool isUnicodeScalar(char32_t c) { return c < 0xD800 || (c > 0xDFFF && c <= 0x10FFFF); }

// Strict UTF-8: overlong forms, surrogates and values past U+10FFFF are invalid.
std::size_t decodeUtf8(const char* from, const char* end, wchar_t& out) {
  const auto lead = static_cast<unsigned char>(*from);
  if (lead < 0x80) {
    out = static_cast<wchar_t>(lead);
    return 1;
  }
  std::size_t length = 0;
  char32_t value = 0;
  char32_t minimum = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, value = lead & 0x1Fu, minimum = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, value = lead & 0x0Fu, minimum = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, value = lead & 0x07u, minimum = 0x10000;
  } else {
    out = replacementChar;
    return 1;
  }
  for (std::size_t i = 1; i < length; ++i) {
    if (from + i == end) {
      return 0;  // a valid beginning so far: more bytes needed
    }
    const auto next = static_cast<unsigned char>(from[i]);
    if ((next & 0xC0) != 0x80) {
      out = replacementChar;
      return 1;
    }
    value = (value << 6) | (next & 0x3Fu);
    // Reject overlong and out-of-range forms as soon as the second byte shows them.
    if (i == 1 &&
        ((length == 3 && value < 0x20) || (length == 4 && (value < 0x10 || value > 0x10F)))) {
      out = replacementChar;
      return 1;
    }
  }
  if (value < minimum || !isUnicodeScalar(value)) {
    out = replacementChar;
    return 1;
  }
  out = static_cast<wchar_t>(value);
  return length;
}

// Whether the facet encodes these characters exactly as UTF-8 does.
bool facetIsUtf8(const std::codecvt<wchar_t, char, std::mbstate_t>& facet) {
  const std::wstring probe = L"\u0434\u20AC\U0001F600";
  const std::string utf8 = "\xD0\xB4\xE2\x82\xAC\xF0\x9F\x98\x80";
  std::mbstate_t state{};
  const wchar_t* fromNext = nullptr;
  char bytes[32];
  char* toNext = nullptr;
  const auto result = facet.out(state, probe.data(), probe.data() + probe.size(), fromNext, bytes,
                                bytes + sizeof bytes, toNext);
  return result == std::codecvt_base::ok && std::string(bytes, toNext) == utf8;
}

}  // namespace

// ---- Codec ----

Codec Codec::utf8() { return {}; }

Codec Codec::ofLocale(const std::locale& loc) {
  Codec codec;
  codec.locale_ = loc;
  codec.facet_ = &std::use_facet<Facet>(loc);
  if (facetIsUtf8(*codec.facet_)) {
    return utf8();
  }
  if (codec.facet_->max_length() == 1) {
    // A single-byte encoding: one table each way makes conversion a lookup.
    codec.kind_ = Kind::singleByte;
    codec.maxBytesPerChar_ = 1;
    codec.byteToChar_.assign(256, replacementChar);
    for (int byte = 0; byte < 256; ++byte) {
      const char in = static_cast<char>(byte);
      wchar_t c = 0;
      if (codec.decodeWithFacet(&in, &in + 1, c) == 1 && c != replacementChar) {
        codec.byteToChar_[static_cast<std::size_t>(byte)] = c;
        codec.charToByte_.emplace_back(c, in);
      }
    }
    std::sort(codec.charToByte_.begin(), codec.charToByte_.end());
  } else {
    codec.kind_ = Kind::facet;
    codec.maxBytesPerChar_ = static_cast<std::size_t>(std::max(codec.facet_->max_length(), 1));
  }
  return codec;
}

Codec Codec::forLocale(const std::locale& loc) {
  Codec codec = ofLocale(loc);
  for (wchar_t c = firstCyrillic; c <= lastCyrillic; ++c) {
    if (!codec.canEncode(c)) {
      return utf8();
    }
  }
  return codec;
}

std::size_t Codec::decode(const char* from, const char* end, wchar_t& out) const {
  if (from == end) {
    return 0;
  }
  switch (kind_) {
  case Kind::utf8:
    return decodeUtf8(from, end, out);
  case Kind::singleByte:
    out = byteToChar_[static_cast<unsigned char>(*from)];
    return 1;
  case Kind::facet:
    break;
  }
  return decodeWithFacet(from, end, out);
}

std::size_t Codec::decodeWithFacet(const char* from, const char* end, wchar_t& out) const {
  std::mbstate_t state{};
  const char* fromNext = from;
  wchar_t* toNext = &out;
  const auto result = facet_->in(state, from, end, fromNext, &out, &out + 1, toNext);
  // "partial" can also mean the one-character output is full: judge by what was produced.
  if (toNext == &out + 1 && fromNext > from) {
    return static_cast<std::size_t>(fromNext - from);
  }
  if (result == std::codecvt_base::partial && end - from < facet_->max_length()) {
    return 0;
  }
  out = replacementChar;
  return 1;
}

char* Codec::encode(std::wstring_view text, char* out) const {
  switch (kind_) {
  case Kind::utf8:
    for (const wchar_t c : text) {
      const auto value = static_cast<char32_t>(c);
      if (value < 0x80) {
        *out++ = static_cast<char>(value);
      } else if (value < 0x800) {  // Cyrillic
        out[0] = static_cast<char>(0xC0 | (value >> 6));
        out[1] = static_cast<char>(0x80 | (value & 0x3F));
        out += 2;
      } else {
        out = writeUtf8(isUnicodeScalar(value) ? value : U'?', out);
      }
    }
    return out;
  case Kind::singleByte:
    for (const wchar_t c : text) {
      if (c >= 0 && c < 0x80 && byteToChar_[static_cast<std::size_t>(c)] == c) {
        *out++ = static_cast<char>(c);
        continue;
      }
      const char* byte = findByte(c);
      *out++ = byte != nullptr ? *byte : '?';
    }
    return out;
  case Kind::facet:
    break;
  }
  return encodeWithFacet(text, out);
}

void Codec::encode(std::wstring_view text, std::string& out) const {
  const std::size_t start = out.size();
  out.resize(start + maxEncodedLength(text.size()));
  out.resize(static_cast<std::size_t>(encode(text, out.data() + start) - out.data()));
}

const char* Codec::findByte(wchar_t c) const {
  const auto found =
      std::lower_bound(charToByte_.begin(), charToByte_.end(), c,
                       [](const auto& entry, wchar_t key) { return entry.first < key; });
  return found != charToByte_.end() && found->first == c ? &found->second : nullptr;
}

char* Codec::encodeWithFacet(std::wstring_view text, char* out) const {
  const wchar_t* from = text.data();
  const wchar_t* const end = from + text.size();
  while (from != end) {
    std::mbstate_t state{};
    const wchar_t* fromNext = from;
    char* toNext = out;
    facet_->out(state, from, end, fromNext, out, out + maxEncodedLength(text.size()), toNext);
    out = toNext;
    if (fromNext == from) {
      *out++ = '?';  // a character this encoding lacks
      ++fromNext;
    }
    from = fromNext;
  }
  return out;
}

bool Codec::canEncode(wchar_t c) const {
  switch (kind_) {
  case Kind::utf8:
    return isUnicodeScalar(static_cast<char32_t>(c));
  case Kind::singleByte:
    return findByte(c) != nullptr;
  case Kind::facet:
    break;
  }
  std::string bytes(maxEncodedLength(1), '\0');
  const char* end = encodeWithFacet(std::wstring_view(&c, 1), bytes.data());
  wchar_t back = 0;
  return decodeWithFacet(bytes.data(), end, back) == static_cast<std::size_t>(end - bytes.data()) &&
         back == c;
}

// ---- the console's locale ----

namespace {

// numpunct<wchar_t> with the separator and grouping chosen for the console.
class ConsoleNumpunct final : public std::numpunct<wchar_t> {
 public:
  ConsoleNumpunct(const std::numpunct<wchar_t>& base, wchar_t separator, std::string grouping)
      : decimalPoint_(base.decimal_point()),
        separator_(separator),
        grouping_(std::move(grouping)),
        trueName_(base.truename()),
        falseName_(base.falsename()) {}

 protected:
  wchar_t do_decimal_point() const override { return decimalPoint_; }
  wchar_t do_thousands_sep() const override { return separator_; }
  std::string do_grouping() const override { return grouping_; }
  std::wstring do_truename() const override { return trueName_; }
  std::wstring do_falsename() const override { return falseName_; }

 private:
  wchar_t decimalPoint_;
  wchar_t separator_;
  std::string grouping_;
  std::wstring trueName_;
  std::wstring falseName_;
};

// The name of one category in a locale's name ("LC_CTYPE=ru_RU.CP1251;LC_NUMERIC=...").
std::string categoryName(const std::string& localeName, const std::string& category) {
  const std::string key = category + "=";
  std::size_t start = localeName.find(key);
  if (start == std::string::npos) {
    return localeName;
  }
  start += key.size();
  return localeName.substr(start, localeName.find(';', start) - start);
}

// The character the narrow separator `byte` stands for in the numeric category's own
// encoding, or 0 when that cannot be told.
wchar_t numericMeaning(const std::locale& user, char byte, const Codec& console) {
  const std::string name = user.name();
  const std::string numeric = categoryName(name, "LC_NUMERIC");
  if (numeric == categoryName(name, "LC_CTYPE")) {
    wchar_t c = 0;
    return console.decode(&byte, &byte + 1, c) == 1 ? c : 0;
  }
  try {
    const Codec numericCodec = Codec::ofLocale(std::locale(numeric));
    wchar_t c = 0;
    return numericCodec.decode(&byte, &byte + 1, c) == 1 ? c : 0;
  } catch (const std::runtime_error&) {
    return 0;
  }
}

}  // namespace

std::locale consoleLocale(const std::locale& user, const Codec& codec) {
  const auto& wide = std::use_facet<std::numpunct<wchar_t>>(user);
  std::string grouping = wide.grouping();
  if (grouping.empty() || codec.canEncode(wide.thousands_sep())) {
    return user;
  }
  const auto& narrow = std::use_facet<std::numpunct<char>>(user);
  wchar_t separator = 0;
  if (!narrow.grouping().empty()) {
    const wchar_t meaning = numericMeaning(user, narrow.thousands_sep(), codec);
    wchar_t shown = 0;
    const char byte = narrow.thousands_sep();
    // A white-space separator would join numbers that the user typed apart.
    if (meaning != 0 && meaning != replacementChar && codec.decode(&byte, &byte + 1, shown) == 1 &&
        shown == meaning && codec.canEncode(shown) && !std::isspace(shown, user)) {
      separator = shown;
    }
  }
  if (separator == 0) {
    grouping.clear();  // nothing the console can show: numbers go ungrouped
    separator = wide.thousands_sep();
  }
  return {user, new ConsoleNumpunct(wide, separator, grouping)};
}

// ---- output ----

OutputBytes::OutputBytes(ByteSink& sink)
    : sink_(sink), buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

char* OutputBytes::reserve(std::size_t size) {
  if (capacity - used_ < size) {
    flush();
  }
  return buffer_.get() + used_;
}

void OutputBytes::append(const char* data, std::size_t size) {
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

void OutputBytes::appendEncoded(std::wstring_view text, const Codec& codec) {
  // In runs small enough that the worst case always fits the buffer.
  constexpr std::size_t runLength = 4096;
  if (text.size() <= runLength) {
    char* start = reserve(codec.maxEncodedLength(text.size()));
    used_ += static_cast<std::size_t>(codec.encode(text, start) - start);
    flushIfFull();
    return;
  }
  while (!text.empty()) {
    const std::wstring_view run = text.substr(0, runLength);
    char* start = reserve(codec.maxEncodedLength(run.size()));
    used_ += static_cast<std::size_t>(codec.encode(run, start) - start);
    text.remove_prefix(run.size());
  }
  flushIfFull();
}

void OutputBytes::flushIfFull() {
  if (used_ >= flushThreshold) {
    flush();
  }
}

bool OutputBytes::flush() {
  if (used_ > 0) {
    if (!sink_.write(buffer_.get(), used_)) {
      failed_ = true;
    }
    used_ = 0;
  }
  return !failed_;
}

NarrowOutputBuffer::int_type NarrowOutputBuffer::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const char byte = traits_type::to_char_type(c);
    bytes_.append(&byte, 1);
  }
  return traits_type::not_eof(c);
}

std::streamsize NarrowOutputBuffer::xsputn(const char* s, std::streamsize n) {
  bytes_.append(s, static_cast<std::size_t>(n));
  return n;
}

// A flush only promises that the text shows before the next wait for input, which
// InputBytes::fill() keeps; writing here would cost a system call per line.
int NarrowOutputBuffer::sync() { return bytes_.failed() ? -1 : 0; }

WideOutputBuffer::int_type WideOutputBuffer::overflow(int_type c) {
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    const wchar_t ch = traits_type::to_char_type(c);
    bytes_.appendEncoded(std::wstring_view(&ch, 1), codec_);
  }
  return traits_type::not_eof(c);
}

std::streamsize WideOutputBuffer::xsputn(const wchar_t* s, std::streamsize n) {
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

int WideOutputBuffer::sync() { return bytes_.failed() ? -1 : 0; }

// ---- input ----

InputBytes::InputBytes(ByteSource& source, OutputBytes* flushBeforeWait)
    : source_(source),
      flushBeforeWait_(flushBeforeWait),
      buffer_(std::make_unique_for_overwrite<char[]>(capacity)) {}

void InputBytes::activate(InputView* view) {
  if (active_ != view) {
    if (active_ != nullptr) {
      active_->release();
    }
    active_ = view;
  }
}

bool InputBytes::fill() {
  if (ended_) {
    return false;
  }
  if (pos_ > 0) {
    std::memmove(buffer_.get(), buffer_.get() + pos_, end_ - pos_);
    end_ -= pos_;
    pos_ = 0;
  }
  if (flushBeforeWait_ != nullptr && !source_.readyWithoutWaiting()) {
    flushBeforeWait_->flush();
  }
  const std::size_t count = source_.read(buffer_.get() + end_, capacity - end_);
  if (count == 0) {
    ended_ = true;
    return false;
  }
  end_ += count;
  return true;
}

void NarrowInputBuffer::release() {
  if (eback() != nullptr) {
    bytes_.consume(static_cast<std::size_t>(gptr() - eback()));
    setg(nullptr, nullptr, nullptr);
  }
}

NarrowInputBuffer::int_type NarrowInputBuffer::underflow() {
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

void WideInputBuffer::release() {
  if (eback() != nullptr) {
    const auto used = static_cast<std::size_t>(gptr() - eback());
    bytes_.consume(used == 0 ? 0 : byteEnds_[used - 1]);
    setg(nullptr, nullptr, nullptr);
  }
}

WideInputBuffer::int_type WideInputBuffer::underflow() {
  bytes_.activate(this);
  release();
  std::size_t count = 0;
  std::size_t offset = 0;
  while (count < runLength) {
    const char* at = bytes_.begin() + offset;
    wchar_t c = 0;
    std::size_t used = codec_.decode(at, bytes_.end(), c);
    if (used == 0) {
      // Only wait for more input when not a single character is ready.
      if (count > 0) {
        break;
      }
      if (bytes_.fill()) {
        continue;
      }
      if (bytes_.begin() == bytes_.end()) {
        return traits_type::eof();
      }
      c = 0xFFFD;  // input ended inside a character
      used = 1;
    }
    offset += used;
    chars_[count] = c;
    byteEnds_[count] = offset;
    ++count;
  }
  setg(chars_, chars_, chars_ + count);
  return traits_type::to_int_type(chars_[0]);
}

// ---- the console ----

Console::Console(ByteSource& source, ByteSink& sink, const std::locale& user)
    : codec_(Codec::forLocale(user)),
      locale_(consoleLocale(user, codec_)),
      output_(sink),
      input_(source, &output_),
      narrowIn_(input_),
      wideIn_(input_, codec_),
      narrowOut_(output_),
      wideOut_(output_, codec_) {}

Console::~Console() {
  output_.flush();
  if (saved_) {
    const Saved& s = *saved_;
    std::cin.rdbuf(s.cinBuffer);
    std::cout.rdbuf(s.coutBuffer);
    std::wcin.rdbuf(s.wcinBuffer);
    std::wcout.rdbuf(s.woutBuffer);
    std::wcin.imbue(s.wcinLocale);
    std::wcout.imbue(s.wcoutLocale);
    std::cin.clear();
    std::cout.clear();
    std::wcin.clear();
    std::wcout.clear();
    currentCodec = nullptr;
  }
}

void Console::attach() {
  if (!saved_) {
    saved_.emplace(Saved{std::cin.rdbuf(), std::cout.rdbuf(), std::wcin.rdbuf(), std::wcout.rdbuf(),
                         std::wcin.getloc(), std::wcout.getloc()});
  }
  std::cin.rdbuf(&narrowIn_);
  std::cout.rdbuf(&narrowOut_);
  std::wcin.rdbuf(&wideIn_);
  std::wcout.rdbuf(&wideOut_);
  std::wcin.imbue(locale_);
  std::wcout.imbue(locale_);
  currentCodec = &codec_;
}

std::string narrowText(std::wstring_view text) {
  static const Codec fallback = Codec::utf8();
  std::string bytes;
  (currentCodec != nullptr ? *currentCodec : fallback).encode(text, bytes);
  return bytes;
}

}  // namespace console
