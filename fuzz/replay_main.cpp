// A main() for the fuzz targets without libFuzzer: runs LLVMFuzzerTestOneInput once on every
// file named on the command line and on every file of every folder named (in name order).
// Each input is handed over in a heap buffer of exactly its size, as libFuzzer does, so the
// sanitizers see a read past its end. A failed check or a sanitizer report ends the run;
// a path that is missing or unreadable, or no input at all, is a failure too.
//   <target>_replay PATH...
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);
// Defined by the targets that need it (libFuzzer calls it when present).
extern "C" __attribute__((weak)) int LLVMFuzzerInitialize(int* argc, char*** argv);

namespace {

namespace fs = std::filesystem;

// The files to run: the paths given, folders replaced by their regular files in name order.
bool collectInputs(int argc, char** argv, std::vector<fs::path>& inputs) {
  for (int i = 1; i < argc; ++i) {
    const fs::path path = argv[i];
    std::error_code error;
    if (fs::is_directory(path, error)) {
      std::vector<fs::path> files;
      for (const fs::directory_entry& entry : fs::directory_iterator(path, error)) {
        if (entry.is_regular_file()) files.push_back(entry.path());
      }
      if (error) {
        std::fprintf(stderr, "replay: %s: %s\n", argv[i], error.message().c_str());
        return false;
      }
      std::sort(files.begin(), files.end());
      inputs.insert(inputs.end(), files.begin(), files.end());
    } else if (fs::is_regular_file(path, error)) {
      inputs.push_back(path);
    } else {
      std::fprintf(stderr, "replay: %s: no such file or folder\n", argv[i]);
      return false;
    }
  }
  return true;
}

bool readInput(const fs::path& path, std::unique_ptr<uint8_t[]>& data, size_t& size) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return false;
  const std::streamoff end = in.tellg();
  if (end < 0) return false;
  size = static_cast<size_t>(end);
  data = std::make_unique<uint8_t[]>(size);
  in.seekg(0);
  return static_cast<bool>(in.read(reinterpret_cast<char*>(data.get()), static_cast<std::streamsize>(size)));
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<fs::path> inputs;
  if (!collectInputs(argc, argv, inputs)) return 1;
  if (inputs.empty()) {
    std::fprintf(stderr, "usage: %s FILE-OR-FOLDER... (no input found)\n", argv[0]);
    return 1;
  }
  if (LLVMFuzzerInitialize != nullptr) LLVMFuzzerInitialize(&argc, &argv);
  // The targets may silence standard output: everything here goes to standard error.
  for (const fs::path& path : inputs) {
    std::unique_ptr<uint8_t[]> data;
    size_t size = 0;
    if (!readInput(path, data, size)) {
      std::fprintf(stderr, "replay: %s: cannot read the file\n", path.c_str());
      return 1;
    }
    std::fprintf(stderr, "Running: %s\n", path.c_str());
    LLVMFuzzerTestOneInput(data.get(), size);
  }
  std::fprintf(stderr, "replay: %zu inputs, no failure\n", inputs.size());
  return 0;
}
