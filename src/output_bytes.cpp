#include "output_bytes.h"

#include <cstring>

namespace console {

OutputBytes::OutputBytes(byte_io::ByteSink& sink)
    : sink_(sink), buffer_(new char[capacity]) {}  // left unset, as it is written before read

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
  do {
    const std::wstring_view run = text.substr(0, runLength);
    char* start = reserve(codec.maxEncodedLength(run.size()));
    used_ += static_cast<std::size_t>(codec.encode(run, start) - start);
    text.remove_prefix(run.size());
  } while (!text.empty());
  flushIfFull();
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

// Whole blocks only, as stdio writes them: a pipe holds 64 KiB, and a write of more than
// that waits for the reader on the way.
void OutputBytes::flushIfFull() {
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
char* OutputBytes::reserve(std::size_t size) {
  if (capacity - used_ < size) {
    flush();
  }
  return buffer_.get() + used_;
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

}  // namespace console
