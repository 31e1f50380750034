// A C++ user of the installed library: load a BMP file, warp it with bilinear sampling,
// make its colours more vivid, and save it as a 24-bit BMP file.
//
//   cpp_demo INPUT OUTPUT [EFFECT]      EFFECT 0 sine wave, 1 polar disc, 2 polar map (default 1)
//
// The same result comes from `bmpfun apply INPUT OUTPUT sampling=1 fun=EFFECT saturation=1.5`.
#include <bmpfun/image.hpp>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

int main(int argc, char** argv) {
  if (argc != 3 && argc != 4) {
    std::fprintf(stderr, "usage: cpp_demo INPUT OUTPUT [EFFECT]\n");
    return 2;
  }
  const std::string input = argv[1];
  const std::string output = argv[2];
  const int32_t effect = argc == 4 ? static_cast<int32_t>(std::strtol(argv[3], nullptr, 10)) : 1;

  bmpfun::Status status;
  std::unique_ptr<bmpfun::Image> source = bmpfun::Image::load(input, {}, &status);
  if (!source) {
    std::fprintf(stderr, "Error loading image: %s: %s\n", input.c_str(), bmpfun::to_string(status).c_str());
    return 1;
  }

  // Bilinear sampling smooths the warp's stretched areas; the new image starts at point
  // sampling again, which the colour filter does not use anyway.
  source->sampling(bmpfun::kBilinear);
  std::unique_ptr<bmpfun::Image> warped = source->fun(effect, &status);
  if (!warped) {
    std::fprintf(stderr, "cpp_demo: effect %d: %s\n", static_cast<int>(effect), bmpfun::to_string(status).c_str());
    return 1;
  }
  warped->saturation(1.5);

  if (!warped->save(output, &status)) {
    std::fprintf(stderr, "cpp_demo: %s: %s\n", output.c_str(), bmpfun::to_string(status).c_str());
    return 1;
  }
  std::printf("%s: %d x %d, effect %d\n", output.c_str(), static_cast<int>(warped->width()),
              static_cast<int>(warped->height()), static_cast<int>(effect));
  return 0;
}
