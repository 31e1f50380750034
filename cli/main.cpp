// bmpfun: every operation of the library from a shell.
//
// Exit codes: 0 success, 1 the operation failed, 2 usage error. Errors go to stderr as one
// line; stdout carries only `info`, --help and --version. Usage errors are found before any
// file is read or written.
#include <bmpfun/bmp.hpp>
#include <bmpfun/image.hpp>
#include <bmpfun/operations.hpp>
#include <bmpfun/paths.hpp>
#include <bmpfun/testcard.hpp>

#include "batch.hpp"
#include "messages.hpp"
#include "platform.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <vector>

#ifndef BMPFUN_VERSION
#define BMPFUN_VERSION "0"
#endif

namespace bmpfun::cli {
namespace {

constexpr int kOk = 0, kFailed = 1, kUsage = 2;

// The command line uses every processor unless told otherwise (--threads).
Limits commandLineLimits() {
  Limits limits;
  limits.threads = 0;
  return limits;
}

struct Context {
  Limits limits = commandLineLimits();
  SaveOptions save;  // --sync
};

int usageError(const std::string& message) {
  printErrorLine("bmpfun: " + message);
  printErrorLine("Try 'bmpfun --help' for more information.");
  return kUsage;
}

int failure(const std::string& line) {
  printErrorLine(line);
  return kFailed;
}

int loadError(const std::string& path, const Status& status) { return failure(loadFailureLine(path, status)); }

// A file that loaded although its data ends early: one line, the exit status unchanged.
void warnIfCut(const std::string& path, const Status& status) {
  const std::string line = warningLine(path, status);
  if (!line.empty()) printErrorLine(line);
}

int writeError(const std::string& path, const Status& status) { return failure(writeFailureLine(path, status)); }

// One operation's lines in --help: its usage, then its description folded at word breaks to
// fit 80 columns, each line in a column of its own.
void printOpHelp(const char* usage, const std::string& help) {
  constexpr size_t kColumn = 37, kWidth = 80;
  std::string line = "          " + std::string(usage);
  line.resize(std::max(line.size() + 1, kColumn), ' ');
  size_t at = 0;
  while (at < help.size()) {
    const size_t room = kWidth - line.size();
    size_t end = help.size();
    if (end - at > room) {
      end = help.rfind(' ', at + room);
      if (end == std::string::npos || end <= at) end = help.find(' ', at + room);
      if (end == std::string::npos) end = help.size();
    }
    std::printf("%s%s\n", line.c_str(), help.substr(at, end - at).c_str());
    at = end < help.size() ? end + 1 : end;
    line.assign(kColumn, ' ');
  }
}

// "M, C, N, E, A, X, Y, W, H are integers, F, SX, SY, DEG reals", from the operations.
std::string placeholderKinds() {
  std::string integers, reals;
  for (const Operation& op : operations()) {
    for (const Argument& arg : op.arguments) {
      std::string& list = arg.type == Argument::Type::integer ? integers : reals;
      const std::string name = arg.placeholder;
      if ((", " + list + ",").find(", " + name + ",") != std::string::npos) continue;
      list += (list.empty() ? "" : ", ") + name;
    }
  }
  return integers + " are integers, " + reals + " reals:";
}

void printHelp() {
  std::printf(
      "NAME\n"
      "    bmpfun - read, filter, warp and write BMP images\n"
      "\n"
      "SYNOPSIS\n"
      "    bmpfun [OPTIONS] COMMAND ARGS... [OPTIONS]\n"
      "    bmpfun --help | --version\n"
      "\n"
      "DESCRIPTION\n"
      "    bmpfun reads uncompressed BMP files of 1, 4, 8, 16, 24 and 32 bits per pixel\n"
      "    (16 bits also with colour masks), applies the library's filters and\n"
      "    geometric warps, and writes BMP files. With --extended it reads every BMP\n"
      "    variant real files use (see OPTIONS).\n"
      "\n"
      "COMMANDS\n"
      "    convert INPUT OUTPUT [BITS]\n"
      "        Read INPUT and write it to OUTPUT. With BITS (1, 4, 8, 16, 24, 32) the\n"
      "        depth changes: 1, 4 and 8 get the default colour table and each pixel\n"
      "        its nearest entry; 16 is written as 5-6-5. Without BITS the file's own\n"
      "        depth and colour table are kept, and a file read with --extended whose\n"
      "        alpha comes from an alpha mask is written as 32a. BITS 32a writes 32\n"
      "        bits with a 124-byte header and an alpha mask, which other programs\n"
      "        read as transparency (plain 32 keeps the alpha in the fourth byte of a\n"
      "        40-byte header). A picture with alpha 0 everywhere (what the default\n"
      "        reader makes of a file without alpha) is written opaque.\n"
      "\n"
      "    rescale INPUT OUTPUT MODE VALUE\n"
      "        Bilinear rescale, written at 24 bits. MODE is one letter (any case):\n"
      "        P percentage, W new width, H new height, F bound for the longer side.\n"
      "\n"
      "    info FILE\n"
      "        Print the 5 file-header and 11 info-header fields, one 'name: value'\n"
      "        line each, in file order. A file that does not start with \"BM\" fails;\n"
      "        fields a short one does not reach print their defaults. With --extended,\n"
      "        and for an OS/2 header shorter than 40 bytes (which does not hold those\n"
      "        fields), the first line names the header (Windows 40, 52, 56, V4 108, V5\n"
      "        124 bytes; OS/2 1.x 12, OS/2 2.x 16 to 64 bytes) and the lines are the\n"
      "        fields that header really has, with its colour masks, colour space,\n"
      "        gamma, intent and profile fields and the masks that follow it, the\n"
      "        compression and colour space by name too; a file whose headers are cut\n"
      "        short then fails as well.\n"
      "\n"
      "    apply INPUT OUTPUT OP...\n"
      "        Load INPUT as an RGBA image, apply each OP in order, write a 24-bit BMP.\n"
      "        Operations that make a new image (fun, mosaic, crop, scale, rotate,\n"
      "        auto-crop) replace the current one; the new image starts with sampling\n"
      "        method 0. OP is NAME or NAME=ARG[,ARG...];\n"
      "        %s\n",
      placeholderKinds().c_str());
  for (const Operation& op : operations()) printOpHelp(op.usage().c_str(), op.summary);
  std::printf(
      "\n"
      "    batch OUTDIR CHAIN INPUT...\n"
      "        Apply CHAIN, one argument holding apply's OPs separated by blanks (e.g.\n"
      "        'sampling=1 fun=1'), to every INPUT, and write each result as a 24-bit\n"
      "        BMP into the folder OUTDIR (made, with its parents, if missing) under\n"
      "        the input's file name. Where apply takes one file and the output's name,\n"
      "        batch takes many and names nothing: several files are worked on at once\n"
      "        within --threads and within a memory budget (files of a few hundred MB\n"
      "        go two at a time, estimated from each header and the chain), one file's\n"
      "        failure does not stop the others, and a file is never written over an\n"
      "        input (nor over another input's result): such a file fails instead, as\n"
      "        does a file given twice (under any name or link; its first result\n"
      "        stays). A chain that fails on every picture (fun=3, crop=0,0,0,5,\n"
      "        scale=0,1, ...) is a usage error. stderr gets each failure on a line as\n"
      "        apply words it, with the file's path in it ('bmpfun: PATH: OP: reason'),\n"
      "        a progress line when it is a terminal, and a summary 'batch: N written,\n"
      "        M failed'; the exit status is 1 when any file failed. Each file comes\n"
      "        out as apply would write it; a chain with noise or random-dither runs\n"
      "        one file at a time, each from the random sequence a fresh bmpfun\n"
      "        starts with.\n"
      "\n"
      "    fun INPUT OUTPUT EFFECT\n"
      "        Warp INPUT with effect 0 (sine wave), 1 (polar disc, (2h+1) x (2h+1))\n"
      "        or 2 (polar mapping into the source size), point sampling, 24 bits.\n"
      "\n"
      "    noise INPUT OUTPUT\n"
      "        Add a random colour (factor 1.0) to every pixel, 24 bits.\n"
      "\n"
      "    testcard OUTPUT [WIDTH HEIGHT]\n"
      "        Draw the project's colourful 24-bit test card (default %d x %d).\n"
      "\n"
      "OPTIONS\n"
      "    Options may stand before or after the command and its arguments; '--'\n"
      "    ends them (for file names that start with '--').\n"
      "    --max-pixels N, --max-pixels=N\n"
      "        Refuse any image or bitmap of more than N pixels (1 to 2^30; default\n"
      "        2^28). Applies to reading, to every new image and to rescale.\n"
      "    --sync\n"
      "        Flush each output file to the disk before it replaces the old one, and\n"
      "        its folder after, so that the result survives a power loss (see OUTPUT\n"
      "        FILES).\n"
      "    --threads N, --threads=N\n"
      "        Use at most N threads, 1 to 256, or 0 for one per processor this\n"
      "        program may run on (the default). Results are the same for every N;\n"
      "        small images stay on one thread. noise, the random and Floyd-Steinberg\n"
      "        dithers, blur and sharpen always run on one thread.\n"
      "    --extended\n"
      "        Read input files with the extended reader: besides every file the\n"
      "        default reader takes, RLE8 and RLE4, top-down rows, 16- and 32-bit bit\n"
      "        fields with or without alpha (masks in 52, 56, 108, 124-byte headers or\n"
      "        after a 40-byte one), 2-bit files, OS/2 1.x and 2.x headers, and pixel\n"
      "        data that ends early. Pixels are RGBA with alpha as opacity: 255 where\n"
      "        the file has no alpha, 0 where it draws nothing (RLE gaps, missing\n"
      "        rows). 2-bit files become 4-bit and RLE files uncompressed; convert with\n"
      "        BITS 32 or 32a keeps the alpha. A 32-bit file without bit fields reads\n"
      "        opaque (its fourth byte is padding), BITS 32 output included: write 32a\n"
      "        to read the alpha back with --extended. Refused: OS/2 Huffman 1D and\n"
      "        RLE24, embedded JPEG and PNG, 64 bits per pixel, bit masks with gaps or\n"
      "        shared bits.\n"
      "    -h, --help Show this page.\n"
      "    --version  Print 'bmpfun VERSION'.\n"
      "\n"
      "OUTPUT FILES\n"
      "    An output is written whole or not at all. The new file is written beside\n"
      "    OUTPUT under a temporary name (.bmpfun-*.tmp) and renamed over it when\n"
      "    complete: the swap is atomic, so any reader sees the old file or the new\n"
      "    one, never a mix. It is not flushed to the disk: after a power loss the\n"
      "    system may hold neither, unless --sync was given. On failure, and when\n"
      "    stopped by SIGINT (Ctrl-C), SIGTERM or SIGHUP, the temporary file is removed\n"
      "    and an existing OUTPUT keeps every byte; a stopped run ends by its signal.\n"
      "    An existing OUTPUT in a folder where no temporary file can be made (a\n"
      "    read-only folder) is refused, as writing over it in place could leave it\n"
      "    half-written. A symbolic link is followed and its target replaced. Devices\n"
      "    and pipes (/dev/null, a FIFO, /dev/stdout on a pipe or terminal) are written\n"
      "    directly.\n"
      "\n"
      "NUMBERS\n"
      "    An integer is base 10 over the whole token with one optional leading sign\n"
      "    ('+' or '-'), within signed 32 bits; a real is anything strtod accepts over\n"
      "    the whole token (including inf and nan), with the same start: one optional\n"
      "    sign and no blank.\n"
      "\n"
      "EXIT STATUS\n"
      "    0  success\n"
      "    1  the operation failed (unreadable input, image too large, output not\n"
      "       written, no such effect, ...; for batch: any file); the reason is on\n"
      "       stderr\n"
      "    2  usage error: no or unknown command, wrong argument count, a number that\n"
      "       does not parse\n"
      "\n"
      "EXAMPLES\n"
      "    bmpfun testcard card.bmp\n"
      "    bmpfun convert card.bmp card8.bmp 8\n"
      "    bmpfun --extended convert photo-rle.bmp photo.bmp 32a\n"
      "    bmpfun info card8.bmp\n"
      "    bmpfun fun card.bmp disc.bmp 1\n"
      "    bmpfun apply card.bmp out.bmp sampling=1 rotate=30 floyd-steinberg-dither=1\n"
      "    bmpfun rescale card.bmp half.bmp P 50\n"
      "    bmpfun batch discs/ 'sampling=1 fun=1' photos/*.bmp\n",
      kTestCardWidth, kTestCardHeight);
}

int cmdConvert(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 2 && a.size() != 3) return usageError("convert: expected INPUT OUTPUT [BITS]");
  int32_t bits = 0;
  SaveOptions options = ctx.save;
  if (a.size() == 3) {
    options.alphaMasks = a[2] == "32a";
    const auto v = options.alphaMasks ? std::optional<int32_t>(32) : parseInteger(a[2]);
    if (!v || (*v != 1 && *v != 4 && *v != 8 && *v != 16 && *v != 24 && *v != 32)) {
      return usageError("convert: BITS must be 1, 4, 8, 16, 24, 32 or 32a, not '" + a[2] + "'");
    }
    bits = *v;
  }
  Bitmap bitmap;
  Status status;
  if (!bitmap.loadFile(a[0], ctx.limits, &status)) return loadError(a[0], status);
  warnIfCut(a[0], status);
  // Without BITS the file keeps its own layout: one whose alpha came from an alpha mask gets
  // one again, or its alpha would be padding that reads opaque.
  if (bits == 0) options.alphaMasks = status.alphaMask;
  if (bits != 0) bitmap.changeBitsPerPixel(bits);
  if (!bitmap.saveFile(a[1], options, &status)) return writeError(a[1], status);
  return kOk;
}

int cmdRescale(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 4) return usageError("rescale: expected INPUT OUTPUT MODE VALUE");
  if (a[2].size() != 1) return usageError("rescale: MODE must be one letter (P, W, H or F)");
  const auto value = parseInteger(a[3]);
  if (!value) return usageError("rescale: VALUE '" + a[3] + "' is not a 32-bit integer");
  Bitmap bitmap;
  Status status;
  if (!bitmap.loadFile(a[0], ctx.limits, &status)) return loadError(a[0], status);
  warnIfCut(a[0], status);
  Status why;
  if (!rescale(bitmap, a[2][0], *value, ctx.limits, &why)) {
    const std::string subject = "rescale " + a[2] + " " + a[3];
    if (why.cause == Cause::outOfMemory) return failure(outOfMemoryLine(subject, why.width, why.height));
    const std::string modes = why.cause == Cause::unknownMode ? " (P percent, W width, H height, F longer side)" : "";
    return failure("bmpfun: " + subject + ": " + to_string(why) + modes + hintText(why));
  }
  if (!bitmap.saveFile(a[1], ctx.save, &status)) return writeError(a[1], status);
  return kOk;
}

std::string infoFailure(const std::string& path, const Status& status) {
  return "bmpfun: " + path + ": " +
         (status.cause == Cause::cannotOpen ? "cannot open the file: " + systemErrorText(status.systemError)
                                               : to_string(status));
}

int cmdInfo(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 1) return usageError("info: expected FILE");
  Status status;
  BmpHeaderView view;
  const HeaderReading reading = ctx.limits.extended ? HeaderReading::extended : HeaderReading::byDefault;
  if (!describeHeadersOf(a[0], view, &status, reading)) return failure(infoFailure(a[0], status));
  std::string text = view.kind.empty() ? "" : "header: " + view.kind + "\n";
  for (const BmpField& field : view.fields) text += field.name + ": " + field.value + "\n";
  std::fputs(text.c_str(), stdout);
  return kOk;
}

int cmdTestcard(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 1 && a.size() != 3) return usageError("testcard: expected OUTPUT [WIDTH HEIGHT]");
  int32_t w = kTestCardWidth, h = kTestCardHeight;
  if (a.size() == 3) {
    const auto pw = parseInteger(a[1]), ph = parseInteger(a[2]);
    if (!pw || !ph || *pw < 1 || *ph < 1) {
      return usageError("testcard: WIDTH and HEIGHT must be integers of at least 1");
    }
    w = *pw;
    h = *ph;
  }
  Bitmap bitmap;
  if (!ctx.limits.allows(w, h)) {
    return failure(std::string(kAllocationHead) + ": testcard: " + std::to_string(w) + " x " + std::to_string(h) +
                   " pixels passes the limit of " + std::to_string(ctx.limits.maxPixels) +
                   " pixels (see --max-pixels)");
  }
  if (!drawTestCard(bitmap, w, h, ctx.limits)) return failure(outOfMemoryLine("testcard", w, h));
  Status status;
  if (!bitmap.saveFile(a[0], ctx.save, &status)) return writeError(a[0], status);
  return kOk;
}

// Load INPUT, run body on the image, save to OUTPUT.
template <typename Body>
int withImage(const Context& ctx, const std::string& input, const std::string& output, Body body) {
  Status status;
  auto image = Image::load(input, ctx.limits, &status);
  if (!image) return loadError(input, status);
  warnIfCut(input, status);
  std::string error;
  if (!body(image, error)) return failure(error);
  if (!image->save(output, ctx.save, &status)) return writeError(output, status);
  return kOk;
}

int cmdApply(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() < 3) return usageError("apply: expected INPUT OUTPUT OP...");
  std::vector<Step> steps(a.size() - 2);
  for (size_t k = 2; k < a.size(); ++k) {
    std::string error;
    if (!parseStep(a[k], steps[k - 2], error)) return usageError("apply: " + error);
  }
  return withImage(ctx, a[0], a[1], [&](std::unique_ptr<Image>& image, std::string& error) {
    for (const Step& step : steps) {
      const Status status = applyStep(step, image);
      if (!status.ok()) {
        error = stepFailureLine(step, status);
        return false;
      }
    }
    return true;
  });
}

int cmdFun(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 3) return usageError("fun: expected INPUT OUTPUT EFFECT");
  const auto effect = parseInteger(a[2]);
  if (!effect) return usageError("fun: EFFECT '" + a[2] + "' is not a 32-bit integer");
  const Step step{findOperation("fun"), {static_cast<double>(*effect)}, "fun=" + std::to_string(*effect)};
  return withImage(ctx, a[0], a[1], [&](std::unique_ptr<Image>& image, std::string& error) {
    const Status status = applyStep(step, image);
    if (!status.ok()) error = stepFailureLine(step, status);
    return status.ok();
  });
}

int cmdNoise(const Context& ctx, const std::vector<std::string>& a) {
  if (a.size() != 2) return usageError("noise: expected INPUT OUTPUT");
  return withImage(ctx, a[0], a[1], [](std::unique_ptr<Image>& image, std::string&) {
    image->noise(1.0);
    return true;
  });
}

// Global options may stand anywhere before or after the command; "--" ends them, so a file
// name that starts with "--" can still be given. Returns -1 to go on, or the exit code.
int parseGlobalOptions(std::vector<std::string>& args, Context& ctx) {
  std::vector<std::string> rest;
  bool optionsEnded = false;
  for (size_t at = 0; at < args.size(); ++at) {
    const std::string& arg = args[at];
    if (!optionsEnded && arg == "-h") {  // the short form users try first
      printHelp();
      return kOk;
    }
    if (optionsEnded || arg.rfind("--", 0) != 0) {
      rest.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg == "--help") {
      printHelp();
      return kOk;
    }
    if (arg == "--version") {
      std::printf("bmpfun %s\n", BMPFUN_VERSION);
      return kOk;
    }
    if (arg == "--sync") {
      ctx.save.sync = true;
      continue;
    }
    // An option with a value takes it as "--name=VALUE" or as the next argument.
    const size_t eq = arg.find('=');
    const std::string name = arg.substr(0, eq);
    if (arg == "--extended") {
      ctx.limits.extended = true;
      continue;
    }
    std::string value;
    const auto takeValue = [&]() {
      if (eq != std::string::npos) {
        value = arg.substr(eq + 1);
        return true;
      }
      if (at + 1 >= args.size()) return false;
      value = args[++at];
      return true;
    };
    if (name == "--max-pixels") {
      if (!takeValue()) return usageError("--max-pixels needs a number");
      const auto n = parseInteger(value);
      if (!n || *n < 1 || *n > (1 << 30)) {
        return usageError("--max-pixels must be an integer from 1 to 1073741824, not '" + value + "'");
      }
      ctx.limits.maxPixels = *n;
      continue;
    }
    if (name == "--threads") {
      if (!takeValue()) return usageError("--threads needs a number");
      const auto n = parseInteger(value);
      // 0 is one thread per processor, as Limits::threads = 0 in the library.
      if (!n || *n < 0 || *n > 256) {
        return usageError("--threads must be an integer from 0 (one per processor) to 256, not '" + value + "'");
      }
      ctx.limits.threads = *n;
      continue;
    }
    return usageError("unknown option '" + arg + "'");
  }
  args.swap(rest);
  return -1;
}

int run(std::vector<std::string> args) {
  Context ctx;
  if (const int code = parseGlobalOptions(args, ctx); code >= 0) return code;
  ctx.save.threads = ctx.limits.threads;  // Bitmap saves pack their rows on the same threads
  if (args.empty()) return usageError("no command given");
  const std::string command = args[0];
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (command == "convert") return cmdConvert(ctx, rest);
  if (command == "rescale") return cmdRescale(ctx, rest);
  if (command == "info") return cmdInfo(ctx, rest);
  if (command == "testcard") return cmdTestcard(ctx, rest);
  if (command == "apply") return cmdApply(ctx, rest);
  if (command == "fun") return cmdFun(ctx, rest);
  if (command == "noise") return cmdNoise(ctx, rest);
  if (command == "batch") {
    std::string usage;
    const int code = runBatch(ctx.limits, ctx.save, rest, usage);
    return usage.empty() ? code : usageError(usage);
  }
  return usageError("unknown command '" + command + "'");
}

#ifdef _WIN32
// An argument as the system holds it, UTF-16, made the path string the library takes (UTF-8;
// WTF-8 for a name with an unpaired surrogate, see <bmpfun/paths.hpp>).
std::string argumentText(const wchar_t* arg) {
  const std::wstring_view units(arg);
  return pathFromUtf16(std::u16string(units.begin(), units.end()));
}
#else
std::string argumentText(const char* arg) { return arg; }
#endif

template <typename Char>
int start(int argc, Char** argv) {
  removeTemporaryFilesOnStopSignals();
  prepareStandardStreams();
  try {
    std::vector<std::string> args;
    for (int k = 1; k < argc; ++k) args.push_back(argumentText(argv[k]));
    return run(std::move(args));
  } catch (const std::bad_alloc&) {  // the program's own strings and lists; the library throws none
    printErrorLine(outOfMemoryLine("bmpfun"));
    return 1;
  }
}

}  // namespace
}  // namespace bmpfun::cli

#ifdef _WIN32
int wmain(int argc, wchar_t** argv) { return bmpfun::cli::start(argc, argv); }
#else
int main(int argc, char** argv) { return bmpfun::cli::start(argc, argv); }
#endif
