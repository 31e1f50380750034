#include "bmp/nearest_index.hpp"

#include <algorithm>
#include <limits>
#include <new>

namespace bmpfun::detail {

uint8_t nearestIndex(std::span<const BitmapPixel> table, BitmapPixel pixel) {
  // Without a table every entry reads as the same white, so the first one wins.
  int32_t best = 999999;
  size_t result = 0;
  for (size_t k = 0; k < table.size(); ++k) {
    const int32_t db = table[k].blue - pixel.blue;
    const int32_t dg = table[k].green - pixel.green;
    const int32_t dr = table[k].red - pixel.red;
    const int32_t d = db * db + dg * dg + dr * dr;
    if (d < best) {
      best = d;
      result = k;
      if (best == 0) break;  // an exact match ends the search
    }
  }
  return static_cast<uint8_t>(result);
}

namespace {

// Lists and records stop being made once this many exist; later cells scan their coarse
// cell's list, a superset. Only tables of many near-equal entries come near it.
constexpr size_t kPoolCap = size_t{1} << 22;
constexpr size_t kRecordCap = size_t{1} << 18;
// A cell with more candidates than this keeps its list instead of a record: working out all
// 64 colours would cost more than the pixels that fall into such a cell (a cell far from a
// tight cluster of entries) are likely to save.
constexpr uint16_t kRecordCandidates = 8;

// The squared distances from the entry value e to the nearest and to the farthest of the
// values lo .. hi along one axis.
struct AxisReach {
  int32_t nearest, farthest;
};

AxisReach reach(uint32_t e, int32_t lo, int32_t hi) {
  const auto v = static_cast<int32_t>(e & 0xFFu);
  const int32_t gap = v < lo ? lo - v : (v > hi ? v - hi : 0);
  const int32_t span = std::max(v - lo, hi - v);
  return AxisReach{gap * gap, span * span};
}

// Appends to list, in index order, the candidates among `entries` (in index order) for the
// colours of the box [r0, r0 + side) x [g0, g0 + side) x [b0, b0 + side): every entry whose
// nearest distance to the box is at most the smallest farthest distance of any of them.
// The answer for each colour in the box is among them (it is no farther from that colour
// than the entry with that smallest farthest distance), and so are all entries that tie
// with it, so a first-minimum scan of the list finds the table's first minimum.
template <typename Entries>
void candidates(const uint32_t* colour, const Entries& entries, int32_t r0, int32_t g0,
                int32_t b0, int32_t side, std::vector<uint16_t>& list) {
  const int32_t last = side - 1;
  const auto reachOf = [&](size_t k) {
    const uint32_t c = colour[k];
    const AxisReach r = reach(c, r0, r0 + last);
    const AxisReach g = reach(c >> 8, g0, g0 + last);
    const AxisReach b = reach(c >> 16, b0, b0 + last);
    return AxisReach{r.nearest + g.nearest + b.nearest, r.farthest + g.farthest + b.farthest};
  };
  int32_t bound = std::numeric_limits<int32_t>::max();
  for (const size_t k : entries) bound = std::min(bound, reachOf(k).farthest);
  for (const size_t k : entries) {
    if (reachOf(k).nearest <= bound) list.push_back(static_cast<uint16_t>(k));
  }
}

// The entries of a list (count first) as a range.
struct ListEntries {
  const uint16_t* list;
  const uint16_t* begin() const { return list + 1; }
  const uint16_t* end() const { return list + 1 + list[0]; }
};

}  // namespace

NearestIndexCache::NearestIndexCache(std::span<const BitmapPixel> table) : table_(table) {
  // Records keep entry numbers in bytes, and every paletted table has at most 256 entries.
  if (table.size() > 256) {
    plain_ = true;
    return;
  }
  size_ = table.size();
  for (size_t k = 0; k < size_; ++k) {
    colour_[k] = uint32_t{table[k].red} | (uint32_t{table[k].green} << 8) |
                 (uint32_t{table[k].blue} << 16);
  }
  // An entry with the colour of an earlier one is never the first at any distance: only the
  // first of each colour takes part.
  distinct_.push_back(0);
  for (size_t k = 0; k < size_; ++k) {
    if (std::find(colour_, colour_ + k, colour_[k]) == colour_ + k) {
      distinct_.push_back(static_cast<uint16_t>(k));
    }
  }
  distinct_[0] = static_cast<uint16_t>(distinct_.size() - 1);
}

void NearestIndexCache::indices(const BitmapPixel* in, uint8_t* out, size_t width) {
  size_t x = 0;
  while (x < width) {
    // Locals, so that the byte stores below (which may alias anything) do not make the
    // compiler fetch the tables' addresses again for every pixel.
    const uint32_t* const fine = fine_.get();
    const Record* const records = records_.data();
    if (fine != nullptr) {
      for (; x < width; ++x) {
        const BitmapPixel p = in[x];
        const uint32_t state = fine[cellOf(p)];
        if (state == 0 || (state & kListed) != 0) break;
        out[x] = records[state].pick(p);
      }
    }
    if (x < width) {
      out[x] = resolve(in[x]);
      ++x;
    }
  }
}

template <typename Entries>
uint8_t NearestIndexCache::scanRange(const Entries& entries, int32_t red, int32_t green,
                                     int32_t blue) const {
  // nearestTableIndex's rule: the first entry at the smallest distance.
  int32_t best = std::numeric_limits<int32_t>::max();
  size_t result = 0;
  for (const size_t k : entries) {
    const int32_t d = distance(k, red, green, blue);
    if (d < best) {
      best = d;
      result = k;
    }
  }
  return static_cast<uint8_t>(result);
}

size_t NearestIndexCache::coarseList(size_t coarse) {
  if (coarse_[coarse] != 0) return coarse_[coarse] - 1;
  const auto r0 = static_cast<int32_t>((coarse >> 8) << 4);
  const auto g0 = static_cast<int32_t>(((coarse >> 4) & 15) << 4);
  const auto b0 = static_cast<int32_t>((coarse & 15) << 4);
  const size_t offset = pool_.size();
  pool_.push_back(0);
  candidates(colour_, ListEntries{distinct_.data()}, r0, g0, b0, 16, pool_);
  pool_[offset] = static_cast<uint16_t>(pool_.size() - offset - 1);
  coarse_[coarse] = static_cast<uint32_t>(offset + 1);
  return offset;
}

uint32_t NearestIndexCache::fineState(size_t cell) {
  const size_t parent = coarseList(((cell >> 14) << 8) | (((cell >> 8) & 15) << 4) | ((cell >> 2) & 15));
  const auto r0 = static_cast<int32_t>((cell >> 12) << 2);
  const auto g0 = static_cast<int32_t>(((cell >> 6) & 63) << 2);
  const auto b0 = static_cast<int32_t>((cell & 63) << 2);
  std::vector<uint16_t> list{0};
  candidates(colour_, ListEntries{pool_.data() + parent}, r0, g0, b0, 4, list);
  if (list.size() == 2) return 1 + uint32_t{list[1]};
  list[0] = static_cast<uint16_t>(list.size() - 1);
  if (list[0] > kRecordCandidates) return listState(list, parent);

  // Every colour of the cell, by the candidates' first-minimum scan.
  Record record;
  size_t distinct = 0;
  for (unsigned j = 0; j < 64; ++j) {
    const uint8_t answer = scanRange(ListEntries{list.data()}, r0 + static_cast<int32_t>(j >> 4),
                                     g0 + static_cast<int32_t>((j >> 2) & 3),
                                     b0 + static_cast<int32_t>(j & 3));
    size_t code = 0;
    while (code < distinct && record.entry[code] != answer) ++code;
    if (code == distinct) {
      if (distinct == 4) {
        distinct = 5;  // more than a record holds
        break;
      }
      record.entry[distinct++] = answer;
    }
    record.low |= uint64_t{code & 1u} << j;
    record.high |= uint64_t{code >> 1} << j;
  }
  if (distinct == 1) return 1 + uint32_t{record.entry[0]};
  if (distinct <= 4 && records_.size() < kRecordCap) {
    records_.push_back(record);
    return static_cast<uint32_t>(records_.size() - 1);
  }
  return listState(list, parent);
}

uint32_t NearestIndexCache::listState(const std::vector<uint16_t>& list, size_t parent) {
  // When the pool is full the parent's list, a superset, serves.
  if (pool_.size() >= kPoolCap) return kListed | static_cast<uint32_t>(parent);
  const size_t offset = pool_.size();
  pool_.insert(pool_.end(), list.begin(), list.end());
  return kListed | static_cast<uint32_t>(offset);
}

uint8_t NearestIndexCache::resolve(BitmapPixel p) {
  if (!plain_ && size_ > 0) {
    try {
      if (!fine_) {
        // calloc: every cell starts out "not worked out", and pages never touched cost
        // nothing.
        fine_.reset(static_cast<uint32_t*>(std::calloc(kFineCells, sizeof(uint32_t))));
        if (!fine_) throw std::bad_alloc();
        coarse_.assign(kCoarseCells, 0);
        // Record 1 + k sends every colour to entry k (index 0 is the unused "not worked out").
        records_.resize(1 + size_);
        for (size_t k = 0; k < size_; ++k) {
          for (uint8_t& entry : records_[1 + k].entry) entry = static_cast<uint8_t>(k);
        }
      }
      uint32_t& state = fine_.get()[cellOf(p)];
      if (state == 0) state = fineState(cellOf(p));
      if ((state & kListed) == 0) return records_[state].pick(p);
      return scanRange(ListEntries{pool_.data() + (state & ~kListed)}, p.red, p.green, p.blue);
    } catch (const std::bad_alloc&) {
      // Without the cells the answer is still the plain scan's, only slower.
      plain_ = true;
      fine_.reset();
    }
  }
  return nearestIndex(table_, p);
}

}  // namespace bmpfun::detail
