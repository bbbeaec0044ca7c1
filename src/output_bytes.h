// Output as the console writes it: bytes from cout and characters from wcout, encoded, into
// one buffer over the standard output that is written a block at a time. The mirror of
// input_bytes.h.
#pragma once

#include <cstddef>
#include <memory>
#include <streambuf>
#include <string>
#include <string_view>

#include "byte_io.h"
#include "codec.h"

namespace console {

// Output reaches the sink when this much is pending, before the program waits for input,
// and at the end; std::flush and std::endl write nothing (see sync() below): an interactive
// session costs one write per wait, a piped script one per block.
inline constexpr std::size_t outputBlock = std::size_t{64} * 1024;

// Output bytes shared by cout and wcout, written to the sink a block at a time.
class OutputBytes {
 public:
  static constexpr std::size_t capacity = 2 * outputBlock;

  explicit OutputBytes(byte_io::ByteSink& sink);

  void append(const char* data, std::size_t size);
  void appendEncoded(std::wstring_view text, const Codec& codec);
  // Writes everything pending. Returns false if this or any earlier write failed.
  bool flush();
  bool failed() const { return failed_; }

 private:
  void flushIfFull();
  char* reserve(std::size_t size);

  byte_io::ByteSink& sink_;
  std::unique_ptr<char[]> buffer_;
  std::size_t used_ = 0;
  bool failed_ = false;
};

// cout's buffer: bytes straight into the shared output.
class NarrowOutputBuffer final : public std::streambuf {
 public:
  explicit NarrowOutputBuffer(OutputBytes& bytes) : bytes_(bytes) {}

 protected:
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const char* s, std::streamsize n) override;
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
  int_type overflow(int_type c) override;
  std::streamsize xsputn(const wchar_t* s, std::streamsize n) override;
  int sync() override { return bytes_.failed() ? -1 : 0; }

 private:
  static constexpr std::size_t rememberedLength = 256;  // runs this long or longer

  OutputBytes& bytes_;
  const Codec& codec_;
  std::wstring lastRun_;
  std::string lastRunBytes_;
};

}  // namespace console
