// The writer's nearest-colour search at copy speed: the same entry as the plain scan
// nearestIndex (the first entry at the smallest squared RGB distance, ties to the lowest
// index) for any table, found without scanning the whole table per pixel.
//
// The colour cube is cut into cells. For a cell, only entries whose distance to the nearest
// point of the cell is at most the smallest distance any entry has to the cell's farthest
// point can be the answer for a colour inside it: every other entry is farther from every
// colour of the cell than that one entry is. Those candidates, kept in index order, are
// scanned with the plain rule, so the result is the plain scan's.
//
// Two levels of cells, each worked out only when a colour first falls into it: 16^3 coarse
// cells whose candidates come from the whole table, and 64^3 fine cells of 4 x 4 x 4 colours
// whose candidates come from their coarse cell's. A fine cell with one candidate maps to it;
// one with a few more gets the answer for each of its 64 colours worked out at once, kept as
// a 2-bit choice among up to four entries; only a cell with many candidates, or whose
// colours go to more than four different entries, keeps its candidate list and scans it per
// pixel. So most pixels cost a lookup in the cell table and one in the cell's record.
//
// One object per thread: it fills itself in as it is used.
#pragma once
#include <bmpfun/bmp.hpp>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <span>
#include <vector>

namespace bmpfun::detail {

// The plain nearest-entry scan of nearestTableIndex over any table: the first entry at the
// smallest squared RGB distance (alpha ignored).
uint8_t nearestIndex(std::span<const BitmapPixel> table, BitmapPixel pixel);

class NearestIndexCache {
 public:
  // The table must outlive the object.
  explicit NearestIndexCache(std::span<const BitmapPixel> table);

  uint8_t operator()(BitmapPixel p) {
    const uint32_t state = fine_ ? fine_.get()[cellOf(p)] : 0;
    if (state != 0 && (state & kListed) == 0) return records_[state].pick(p);
    return resolve(p);
  }

  // out[x] = (*this)(in[x]) for x < width.
  void indices(const BitmapPixel* in, uint8_t* out, size_t width);

 private:
  // The answers for the 64 colours of a fine cell: colour j (bits r r g g b b of the low two
  // bits of each channel) maps to entry[code], code = bit j of low | bit j of high << 1.
  struct Record {
    uint64_t low = 0;
    uint64_t high = 0;
    uint8_t entry[4] = {};
    uint8_t pick(BitmapPixel p) const {
      const unsigned j = ((p.red & 3u) << 4) | ((p.green & 3u) << 2) | (p.blue & 3u);
      return entry[((low >> j) & 1u) | (((high >> j) & 1u) << 1)];
    }
  };
  struct Free {
    void operator()(uint32_t* block) const noexcept { std::free(block); }
  };
  // A fine cell's state: 0 not yet worked out; kListed | n for the candidate list at pool_[n]
  // (a count, then that many entries); anything else the index of its record.
  static constexpr uint32_t kListed = uint32_t{1} << 31;
  static constexpr size_t kFineCells = size_t{1} << 18;
  static constexpr size_t kCoarseCells = size_t{1} << 12;

  static size_t cellOf(BitmapPixel p) {
    return (size_t{p.red} >> 2 << 12) | (size_t{p.green} >> 2 << 6) | (size_t{p.blue} >> 2);
  }
  int32_t distance(size_t k, int32_t red, int32_t green, int32_t blue) const {
    const uint32_t c = colour_[k];
    const int32_t dr = static_cast<int32_t>(c & 0xFFu) - red;
    const int32_t dg = static_cast<int32_t>((c >> 8) & 0xFFu) - green;
    const int32_t db = static_cast<int32_t>(c >> 16) - blue;
    return db * db + dg * dg + dr * dr;
  }
  uint8_t resolve(BitmapPixel p);
  uint32_t fineState(size_t cell);
  uint32_t listState(const std::vector<uint16_t>& list, size_t parent);
  size_t coarseList(size_t coarse);
  template <typename Entries>
  uint8_t scanRange(const Entries& entries, int32_t red, int32_t green, int32_t blue) const;

  std::span<const BitmapPixel> table_;
  uint32_t colour_[256] = {};             // red | green << 8 | blue << 16 per entry
  size_t size_ = 0;                       // entries in the table
  std::vector<uint16_t> distinct_;        // count, then the first entry of each colour
  std::unique_ptr<uint32_t, Free> fine_;  // kFineCells states, zeroed on allocation
  std::vector<Record> records_;           // [1 + k]: every colour to entry k
  std::vector<uint32_t> coarse_;          // 0, or 1 + the pool offset of a coarse list
  std::vector<uint16_t> pool_;            // candidate lists
  bool plain_ = false;  // memory ran out (or a table past 256 entries): plain scan per pixel
};

}  // namespace bmpfun::detail
