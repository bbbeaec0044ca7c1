// Input from a string, as a person at the console or a file would give it, on every platform.
#pragma once

#include <algorithm>
#include <cstddef>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "byte_io.h"

namespace testing_support {

// With `pauses`, each '\x01' in the script marks a point where a person would stop typing:
// read() never returns bytes past it together with bytes before it, and readyWithoutWaiting()
// is false there; the marker itself is no input. One read gives at most `piece` bytes; after
// the last comes the end of the input, or a read error with `errorAtEnd`.
struct ScriptShape {
  bool pauses = true;
  std::size_t piece = std::numeric_limits<std::size_t>::max();
  bool errorAtEnd = false;
};

class ScriptSource final : public byte_io::ByteSource {
 public:
  explicit ScriptSource(std::string script, ScriptShape shape = {})
      : script_(std::move(script)), shape_(shape) {}

  std::ptrdiff_t read(char* buffer, std::size_t size) override {
    if (shape_.pauses && pos_ < script_.size() && script_[pos_] == waitMarker) {
      ++pos_;
      ++waits_;
      if (watched != nullptr) {
        shownAtWaits.push_back(*watched);
      }
    }
    if (pos_ == script_.size()) {
      return shape_.errorAtEnd ? byte_io::readError : 0;
    }
    std::size_t end = std::min(script_.size(), pos_ + std::min(size, shape_.piece));
    if (shape_.pauses) {
      end = std::min(end, script_.find(waitMarker, pos_));
    }
    const std::size_t count = end - pos_;
    script_.copy(buffer, count, pos_);
    pos_ = end;
    return static_cast<std::ptrdiff_t>(count);
  }

  bool readyWithoutWaiting() override {
    return !shape_.pauses || pos_ == script_.size() || script_[pos_] != waitMarker;
  }
  int waits() const { return waits_; }

  // What `watched` had received each time a read had to wait.
  std::vector<std::string> shownAtWaits;
  const std::string* watched = nullptr;

 private:
  static constexpr char waitMarker = '\x01';

  std::string script_;
  ScriptShape shape_;
  std::size_t pos_ = 0;
  int waits_ = 0;
};

}  // namespace testing_support
