#include "input_bytes.h"

#include <cstring>
#include <utility>

namespace console {

InputBytes::InputBytes(byte_io::ByteSource& source, std::size_t capacity,
                       std::function<void()> beforeWait)
    : source_(source),
      capacity_(capacity),
      beforeWait_(std::move(beforeWait)),
      buffer_(new char[capacity]) {}

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
  if (beforeWait_ && !source_.readyWithoutWaiting()) {
    beforeWait_();
  }
  const std::ptrdiff_t count = source_.read(buffer_.get() + end_, capacity_ - end_);
  if (count <= 0) {
    ended_ = true;
    failed_ = count != 0;
    return false;
  }
  end_ += static_cast<std::size_t>(count);
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

void DecodingBuffer::release() {
  if (eback() != nullptr) {
    const auto used = static_cast<std::size_t>(gptr() - eback());
    bytes_.consume(used == 0 ? 0 : byteEnds_[used - 1]);
    setg(nullptr, nullptr, nullptr);
  }
}

DecodingBuffer::int_type DecodingBuffer::underflow() {
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

}  // namespace console
