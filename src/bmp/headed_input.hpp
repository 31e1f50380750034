// A reader's input: the first bytes of the file, kept so that the headers are parsed once from
// them (headers.hpp), and a forward-only position over them and the rest of the source, so
// that a pipe reads like a file.
#pragma once
#include "base/byte_source.hpp"
#include "bmp/headers.hpp"

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace bmpfun::detail {

// Reads follow the C stream's rules of ByteSource at the logical position: a read or skip that
// asks for more than is left sets the end indicator for good, and a read error that ended the
// head early shows (error()) once the position reaches the point where it happened, as if
// the head had not been read ahead.
class HeadedInput final : public ByteSource {
 public:
  explicit HeadedInput(ByteSource& source) : source_(source) {}
  // Reads up to kHeadBytes (headers.hpp), once, before anything else; returns how many arrived.
  size_t fillHead();
  std::span<const uint8_t> head() const { return {head_.data(), headSize_}; }
  // The system's error that ended the head early (0: none).
  int headError() const { return headError_; }

  // Moves forward to offset (a position behind the current one stays where it is); false
  // when the file ends first.
  bool seek(uint64_t offset);

  size_t read(void* buffer, size_t count) override;
  uint64_t skip(uint64_t count) override;
  bool eof() const override { return ended_; }
  int error() const override { return ended_ ? source_.error() : 0; }
  uint64_t offset() const override { return position_; }
  // Reads at offsets go to the source, whose offsets are the file's: only while it has not
  // ended (no read error behind, the head the file's first bytes) and this input neither.
  bool readsAt() const override { return source_.readsAt() && !source_.eof() && !ended_ && base_ == 0; }
  size_t readAt(void* buffer, size_t count, uint64_t offset, int& error) const override {
    return source_.readAt(buffer, count, offset, error);
  }

 private:
  ByteSource& source_;
  std::array<uint8_t, kHeadBytes> head_{};
  size_t headSize_ = 0;
  int headError_ = 0;
  uint64_t base_ = 0;      // the source's offset when the head was read
  uint64_t position_ = 0;  // logical offset in the file
  bool ended_ = false;
};

}  // namespace bmpfun::detail
