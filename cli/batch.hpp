// `bmpfun batch OUTDIR CHAIN INPUT...`: one chain of apply's operations on many files, each
// result written into OUTDIR under its input's file name, several files at a time.
#pragma once
#include <bmpfun/bmp.hpp>
#include <bmpfun/limits.hpp>

#include <string>
#include <vector>

namespace bmpfun::cli {

// Runs the command on args (what follows the word batch) and returns the exit status: 0
// every file written, 1 any file failed (or OUTDIR could not be made). A usage error (a chain
// that does not parse or fails on every picture, an operation given as an input) is returned
// in usage, with exit status 2; nothing is read or written then.
// Results are written with save (--sync).
int runBatch(const Limits& limits, const SaveOptions& save, const std::vector<std::string>& args,
             std::string& usage);

}  // namespace bmpfun::cli
