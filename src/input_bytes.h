// Input read ahead from a byte source, and the stream buffers that read it: as it is (cin),
// or decoded into characters (wcin, and the matrix file being loaded). Decoding lives here
// once, so the console and the file read a character split between two reads, or an invalid
// byte, the same way.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <streambuf>

#include "byte_io.h"
#include "codec.h"

namespace console {

class InputView;

// Bytes read from a source and not yet consumed, shared by the views that take turns at
// them: only one reads at a time, and when another starts, the first gives back every byte
// it has looked at but not consumed.
class InputBytes {
 public:
  // `beforeWait` runs before any read that would wait (the console writes what it holds).
  InputBytes(byte_io::ByteSource& source, std::size_t capacity,
             std::function<void()> beforeWait = {});

  // Makes `view` the reader; the previous reader gives back what it has not consumed.
  void activate(InputView* view);

  const char* begin() const { return buffer_.get() + pos_; }
  const char* end() const { return buffer_.get() + end_; }
  void consume(std::size_t count) { pos_ += count; }
  bool ended() const { return ended_; }
  // Whether the input ended with a read error rather than at its end.
  bool failed() const { return failed_; }

  // Reads more bytes after those not yet consumed, which may move in memory.
  // Returns false, and stays so, once input has ended.
  bool fill();

 private:
  byte_io::ByteSource& source_;
  std::size_t capacity_;
  std::function<void()> beforeWait_;
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool ended_ = false;
  bool failed_ = false;
  InputView* active_ = nullptr;
};

class InputView {
 public:
  // Consumes what was read and gives back what was only looked at.
  virtual void release() = 0;

 protected:
  ~InputView() = default;
};

// The bytes as they are (cin's buffer).
class NarrowInputBuffer final : public std::streambuf, public InputView {
 public:
  explicit NarrowInputBuffer(InputBytes& bytes) : bytes_(bytes) {}
  void release() override;

 protected:
  int_type underflow() override;

 private:
  InputBytes& bytes_;
};

// The bytes decoded by `codec`, a run of characters at a time, each remembering where its
// bytes end, so that a character only looked at gives all its bytes back. A character whose
// bytes the input holds only in part waits for the rest; at the end of the input that part,
// like any invalid byte, is the replacement character.
class DecodingBuffer final : public std::wstreambuf, public InputView {
 public:
  DecodingBuffer(InputBytes& bytes, const Codec& codec) : bytes_(bytes), codec_(codec) {}
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

}  // namespace console
