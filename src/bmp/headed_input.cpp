#include "bmp/headed_input.hpp"

#include <algorithm>
#include <cstring>

namespace bmpfun::detail {

size_t HeadedInput::fillHead() {
  base_ = source_.offset();
  headSize_ = source_.read(head_.data(), head_.size());
  headError_ = source_.error();
  return headSize_;
}

bool HeadedInput::seek(uint64_t offset) {
  if (offset <= position_) return offset == position_;
  const uint64_t step = offset - position_;
  return skip(step) == step;
}

size_t HeadedInput::read(void* buffer, size_t count) {
  if (ended_ || count == 0) return 0;
  auto* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  if (position_ < headSize_) {
    done = std::min(count, headSize_ - static_cast<size_t>(position_));
    std::memcpy(out, head_.data() + position_, done);
    position_ += done;
  }
  // Past the head the source is where the position is (or has ended).
  if (done < count) {
    const size_t got = source_.read(out + done, count - done);
    position_ += got;
    done += got;
  }
  if (done < count) ended_ = true;
  return done;
}

uint64_t HeadedInput::skip(uint64_t count) {
  if (ended_ || count == 0) return 0;
  uint64_t done = 0;
  if (position_ < headSize_) {
    done = std::min<uint64_t>(count, headSize_ - position_);
    position_ += done;
  }
  if (done < count) {
    const uint64_t passed = source_.skip(count - done);
    position_ += passed;
    done += passed;
  }
  if (done < count) ended_ = true;
  return done;
}

}  // namespace bmpfun::detail
