#include "header_text.hpp"

#include <cstdio>

namespace bmpfun::cli {

std::string headerText(const BitmapFileHeader& f, const BitmapInfoHeader& h) {
  char text[512];
  const int length = std::snprintf(
      text, sizeof text,
      "bfType: %u\nbfSize: %u\nbfReserved1: %u\nbfReserved2: %u\nbfOffBits: %u\n"
      "biSize: %u\nbiWidth: %d\nbiHeight: %d\nbiPlanes: %u\nbiBitCount: %u\n"
      "biCompression: %u\nbiSizeImage: %u\nbiXPelsPerMeter: %d\nbiYPelsPerMeter: %d\n"
      "biClrUsed: %u\nbiClrImportant: %u\n",
      unsigned{f.bfType}, f.bfSize, unsigned{f.bfReserved1}, unsigned{f.bfReserved2}, f.bfOffBits,
      h.biSize, h.biWidth, h.biHeight, unsigned{h.biPlanes}, unsigned{h.biBitCount}, h.biCompression,
      h.biSizeImage, h.biXPelsPerMeter, h.biYPelsPerMeter, h.biClrUsed, h.biClrImportant);
  return std::string(text, length > 0 ? static_cast<size_t>(length) : 0);
}

bool showsOwnFields(const BmpHeaders& headers) {
  return headers.bytes >= 18 && headers.file.bfType == 19778 && isShortOs2Header(headers.info.biSize);
}

std::string headerViewText(const BmpHeaderView& view) {
  std::string text = "header: " + view.kind + "\n";
  for (const BmpField& field : view.fields) text += field.name + ": " + field.value + "\n";
  return text;
}

}  // namespace bmpfun::cli
