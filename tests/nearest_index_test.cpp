// The writer's fast nearest-colour search against the plain scan (the first entry at the
// smallest squared RGB distance): the default and grey tables, random tables full of exact
// ties and equidistant entries, a table so dense that cells keep their candidate lists, on
// every colour of a sampled cube (all low-bit patterns, so every cell position is reached)
// and on every colour around the entries, in shuffled order so that the cells are worked out
// in different orders.
#include "bmp/nearest_index.hpp"
#include "support/reference_bmp.hpp"
#include "support/test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

namespace bmpfun::test {
namespace {

Bitmap withTable(int32_t bits, const std::vector<BitmapPixel>& entries) {
  Bitmap bitmap;
  bitmap.changeBitsPerPixel(bits);
  for (size_t k = 0; k < entries.size(); ++k) bitmap.setTableColor(static_cast<int32_t>(k), entries[k]);
  return bitmap;
}

// Every colour whose channels are multiples of 5 (52 values each, every residue mod 4 and
// mod 16, so every place in a cell and in a coarse cell).
std::vector<BitmapPixel> sampledCube() {
  std::vector<BitmapPixel> colours;
  for (int r = 0; r < 256; r += 5) {
    for (int g = 0; g < 256; g += 5) {
      for (int b = 0; b < 256; b += 5) colours.push_back(px(b, g, r, (r + g) & 255));
    }
  }
  return colours;
}

// Every colour within `reach` of an entry of the table, channel by channel.
std::vector<BitmapPixel> aroundEntries(const std::vector<BitmapPixel>& table, int reach) {
  std::vector<BitmapPixel> colours;
  for (size_t k = 0; k < table.size(); k += 11) {
    const BitmapPixel e = table[k];
    for (int dr = -reach; dr <= reach; ++dr) {
      for (int dg = -reach; dg <= reach; ++dg) {
        for (int db = -reach; db <= reach; ++db) {
          const int r = e.red + dr, g = e.green + dg, b = e.blue + db;
          if (r < 0 || g < 0 || b < 0 || r > 255 || g > 255 || b > 255) continue;
          colours.push_back(px(b, g, r));
        }
      }
    }
  }
  return colours;
}

// Both through the per-pixel call and the row call, on the colours in a shuffled order.
void expectPlainScanAnswers(const Bitmap& bitmap, std::vector<BitmapPixel> colours, uint32_t seed) {
  std::shuffle(colours.begin(), colours.end(), std::mt19937(seed));
  detail::NearestIndexCache single(bitmap.colorTable());
  detail::NearestIndexCache rows(bitmap.colorTable());
  std::vector<uint8_t> got(colours.size());
  rows.indices(colours.data(), got.data(), colours.size());
  size_t wrong = 0;
  for (size_t k = 0; k < colours.size() && wrong < 5; ++k) {
    const uint8_t want = reference::nearestEntry(bitmap.colorTable(), colours[k]);
    if (single(colours[k]) != want || got[k] != want) {
      ++wrong;
      ADD_FAILURE() << "colour " << ::testing::PrintToString(colours[k]) << ": plain scan " << int{want}
                    << ", one by one " << int{single(colours[k])} << ", by rows " << int{got[k]};
    }
  }
}

TEST(NearestIndex, DefaultAndGreyTablesOnTheSampledCube) {
  const std::vector<BitmapPixel> cube = sampledCube();
  for (const int32_t bits : {1, 4, 8}) {
    for (const bool grey : {false, true}) {
      SCOPED_TRACE(std::to_string(bits) + (grey ? " bits, grey ramp" : " bits, default table"));
      Bitmap bitmap;
      bitmap.changeBitsPerPixel(bits);
      if (grey) bitmap.fillGreyRamp();
      expectPlainScanAnswers(bitmap, cube, static_cast<uint32_t>(bits));
      expectPlainScanAnswers(bitmap, aroundEntries(bitmap.colorTable(), 5), 99);
    }
  }
}

// Tables whose entries come from a few values per channel, repeated: exact duplicates (the
// lowest index must win) and many colours exactly half-way between entries.
TEST(NearestIndex, RandomTablesFullOfTies) {
  const std::vector<BitmapPixel> cube = sampledCube();
  std::mt19937 rng(2024);
  struct Shape {
    int32_t bits;
    std::vector<int> values;  // what every channel is drawn from
  };
  const Shape shapes[] = {
      {8, {0, 64, 128, 192, 255}},  {8, {100, 102, 104, 106}}, {8, {0, 2, 4, 250, 252}},
      {4, {0, 128, 255}},           {4, {10, 11, 12}},         {1, {0, 254}},
      {8, {7, 9, 11, 13, 15, 17, 19, 21, 23, 25, 27, 29, 31, 33, 35, 37, 39, 41, 43, 45, 47}},
  };
  for (size_t s = 0; s < std::size(shapes); ++s) {
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE("shape " + std::to_string(s) + ", round " + std::to_string(round));
      const Shape& shape = shapes[s];
      std::uniform_int_distribution<size_t> pick(0, shape.values.size() - 1);
      std::vector<BitmapPixel> entries(size_t{1} << shape.bits);
      for (BitmapPixel& e : entries) {
        e = px(shape.values[pick(rng)], shape.values[pick(rng)], shape.values[pick(rng)],
               static_cast<int>(rng() & 255));
      }
      const Bitmap bitmap = withTable(shape.bits, entries);
      expectPlainScanAnswers(bitmap, cube, rng());
      expectPlainScanAnswers(bitmap, aroundEntries(entries, 3), rng());
    }
  }
}

// 256 entries packed one apart in an 8 x 8 x 4 block: a cell of 4 x 4 x 4 colours there maps
// to up to 64 different entries, more than a cell's record holds, so it keeps its list.
TEST(NearestIndex, DenseTableKeepsCandidateLists) {
  std::vector<BitmapPixel> entries(256);
  for (int k = 0; k < 256; ++k) entries[static_cast<size_t>(k)] = px(120 + k / 64, 60 + (k / 8) % 8, 30 + k % 8);
  const Bitmap bitmap = withTable(8, entries);
  std::vector<BitmapPixel> block;
  for (int r = 24; r < 42; ++r) {
    for (int g = 54; g < 72; ++g) {
      for (int b = 114; b < 128; ++b) block.push_back(px(b, g, r));
    }
  }
  expectPlainScanAnswers(bitmap, block, 5);
  expectPlainScanAnswers(bitmap, sampledCube(), 6);
}

// A bitmap without a table (24 bits) answers 0 for every colour, like the plain scan.
TEST(NearestIndex, NoTableGivesEntryZero) {
  const Bitmap bitmap;
  expectPlainScanAnswers(bitmap, {px(0, 0, 0), px(255, 255, 255), px(1, 2, 3)}, 1);
}

}  // namespace
}  // namespace bmpfun::test
