// Where bytes come from and go to, for the console and the matrix file alike: the standard
// input and output, or a file being loaded.
#pragma once

#include <cstddef>

namespace byte_io {

// What ByteSource::read() returns for input that cannot be read.
inline constexpr std::ptrdiff_t readError = -1;

class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Reads up to `size` bytes, waiting if none are there yet. Returns how many; 0 once input
  // has ended; readError when it cannot be read (the console takes that for the end of its
  // input, a load for a failed one).
  virtual std::ptrdiff_t read(char* buffer, std::size_t size) = 0;
  // True when read() would not wait: bytes are waiting, or input has ended.
  virtual bool readyWithoutWaiting() { return true; }
};

class ByteSink {
 public:
  virtual ~ByteSink() = default;
  // Returns false when the bytes could not all be written.
  virtual bool write(const char* data, std::size_t size) = 0;
};

}  // namespace byte_io
