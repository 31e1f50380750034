// RLE8 and RLE4 pixel data (the extended reader).
#pragma once
#include <bmpfun/bmp.hpp>

#include "bmp/headed_input.hpp"
#include "bmp/pixel_layout.hpp"
#include "bmp/row_codec.hpp"
#include "bmp/row_sink.hpp"

namespace bmpfun::detail {

// Draws the RLE data at layout.dataAt through palette into sink, every row once, in file
// order, by the RLE rules atop extended_reader.cpp. status.rowsRead counts the rows reached
// before the data ended (all of them when it did not).
void decodeRle(HeadedInput& input, const PixelLayout& layout, const Palette& palette, RowSink& sink,
               Status& status);

}  // namespace bmpfun::detail
