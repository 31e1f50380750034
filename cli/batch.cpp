// The batch command. Files are handed out one at a time to a few workers; each worker loads a
// file, runs the chain and writes the result, with the library's operations on the threads
// left over (with more files than threads, every worker runs its operations on one thread,
// which spends no time starting threads inside the operations). The calling thread is one of
// the workers. Diagnostics are whole lines on stderr under one lock; on a terminal a progress
// line is kept below them, redrawn as files finish.
#include "batch.hpp"

#include <bmpfun/image.hpp>

#include "image/c_random.hpp"
#include "image/parallel.hpp"
#include "messages.hpp"
#include "ops.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <thread>
#include <utility>

namespace bmpfun::cli {

namespace fs = std::filesystem;

std::vector<std::string> chainWords(const std::string& chain) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < chain.size()) {
    const size_t start = chain.find_first_not_of(" \t\n", at);
    if (start == std::string::npos) break;
    const size_t end = std::min(chain.find_first_of(" \t\n", start), chain.size());
    words.push_back(chain.substr(start, end - start));
    at = end;
  }
  return words;
}

namespace {

using Clock = std::chrono::steady_clock;

// One input and where its result goes; refusal is the line to print instead when the file
// must not be written there.
struct Job {
  std::string input;
  std::string output;
  std::string refusal;
};

// The file's identity (device and inode), when it exists.
std::optional<std::pair<dev_t, ino_t>> identityOf(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::make_pair(st.st_dev, st.st_ino);
}

std::string canonical(const std::string& path) {
  std::error_code ignored;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(path, ignored), ignored);
  return resolved.empty() ? path : resolved.string();
}

// Every input's output, refused where it would replace an input (under any name: the same
// path after links are resolved, or the same file) or where an earlier input already writes.
std::vector<Job> plan(const std::string& folder, const std::vector<std::string>& inputs) {
  std::set<std::string> inputPaths;
  std::set<std::pair<dev_t, ino_t>> inputFiles;
  for (const auto& input : inputs) {
    inputPaths.insert(canonical(input));
    if (const auto id = identityOf(input)) inputFiles.insert(*id);
  }
  std::map<std::string, std::string> claimed;  // output -> the input that writes it
  std::vector<Job> jobs;
  for (const auto& input : inputs) {
    Job job{input, (fs::path(folder) / fs::path(input).filename()).string(), {}};
    const std::string where = canonical(job.output);
    const auto id = identityOf(job.output);
    if (fs::path(input).filename().empty()) {
      job.refusal = "bmpfun: " + input + ": names no file";
    } else if (inputPaths.count(where) != 0 || (id && inputFiles.count(*id) != 0)) {
      job.refusal = "bmpfun: " + input + ": not written: " + job.output + " is an input";
    } else if (const auto [at, fresh] = claimed.emplace(where, input); !fresh) {
      job.refusal = "bmpfun: " + input + ": not written: " + at->second + " also goes to " + job.output;
    }
    jobs.push_back(std::move(job));
  }
  return jobs;
}

// Counts, diagnostics and, on a terminal, the progress line.
class Progress {
 public:
  Progress(size_t total, bool terminal) : total_(total), terminal_(terminal), start_(Clock::now()) {}

  void say(const std::string& line) {
    const std::lock_guard<std::mutex> hold(lock_);
    clearLine();
    std::fprintf(stderr, "%s\n", line.c_str());
  }

  // Counts the file and, on a terminal, redraws the progress line (ten times a second at
  // most).
  void fileDone(bool written) {
    const std::lock_guard<std::mutex> hold(lock_);
    ++done_;
    if (!written) ++failed_;
    if (terminal_ && Clock::now() - drawn_ >= std::chrono::milliseconds(100)) {
      draw();
      drawn_ = Clock::now();
    }
  }

  // After the last file: the progress line goes, the summary comes.
  void finish() {
    const std::lock_guard<std::mutex> hold(lock_);
    clearLine();
    std::fprintf(stderr, "batch: %zu written, %zu failed (%.1f s)\n", done_ - failed_, failed_, seconds());
  }

  size_t failed() const { return failed_; }

 private:
  double seconds() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }

  // "37/200 files, 12.3 files/s, 0:13 left" (the lock is held).
  void draw() {
    const double elapsed = seconds();
    const double rate = elapsed > 0.0 ? static_cast<double>(done_) / elapsed : 0.0;
    char left[32] = "";
    if (rate > 0.0) {
      const auto remaining = static_cast<long>(static_cast<double>(total_ - done_) / rate + 0.5);
      std::snprintf(left, sizeof left, ", %ld:%02ld left", remaining / 60, remaining % 60);
    }
    std::fprintf(stderr, "\r%zu/%zu files, %.1f files/s%s\x1b[K", done_, total_, rate, left);
    std::fflush(stderr);
    shown_ = true;
  }
  void clearLine() {
    if (!shown_) return;
    std::fprintf(stderr, "\r\x1b[K");
    shown_ = false;
  }

  std::mutex lock_;
  size_t total_;
  size_t done_ = 0;
  size_t failed_ = 0;
  bool terminal_;
  bool shown_ = false;
  Clock::time_point start_;
  Clock::time_point drawn_{};
};

// Load, run the chain, write; false (with the line said) on the first failure.
bool runOne(const Job& job, const std::vector<Op>& ops, const Limits& limits,
            const SaveOptions& save, bool reseed, Progress& progress) {
  if (!job.refusal.empty()) {
    progress.say(job.refusal);
    return false;
  }
  // The chain draws random numbers: give each file the sequence a fresh process starts with,
  // so that it comes out as `bmpfun apply` would write it.
  if (reseed) detail::seedRuntimeRand(1);
  ImageStatus status = ImageStatus::ok;
  auto image = Image::load(job.input, limits, &status);
  if (!image) {
    progress.say(loadFailureLine(job.input, status));
    return false;
  }
  if (const std::string warning = warningLine(job.input, status.codec()); !warning.empty()) {
    progress.say(warning);
  }
  std::string error;
  for (const Op& op : ops) {
    if (!applyOp(op, image, error)) {
      progress.say(job.input + ": " + error);
      return false;
    }
  }
  if (!image->save(job.output, save, &status)) {
    progress.say(writeFailureLine(job.output, status.codec()));
    return false;
  }
  return true;
}

bool drawsRandomNumbers(const std::vector<Op>& ops) {
  return std::any_of(ops.begin(), ops.end(), [](const Op& op) {
    const std::string name = op.info->name;
    return name == "noise" || name == "random-dither";
  });
}

}  // namespace

int runBatch(const Limits& limits, const SaveOptions& save, const std::vector<std::string>& args,
             std::string& usage) {
  if (args.size() < 3) {
    usage = "batch: expected OUTDIR CHAIN INPUT...";
    return 2;
  }
  const std::vector<std::string> words = chainWords(args[1]);
  if (words.empty()) {
    usage = "batch: the chain '" + args[1] + "' holds no operation";
    return 2;
  }
  std::vector<Op> ops(words.size());
  for (size_t k = 0; k < words.size(); ++k) {
    std::string error;
    if (!parseOp(words[k], ops[k], error)) {
      usage = "batch: " + error;
      return 2;
    }
  }

  const std::string& folder = args[0];
  if (folder.empty()) {
    usage = "batch: OUTDIR is empty (give a folder, '.' for this one)";
    return 2;
  }
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    if (fs::exists(folder, ec)) {
      std::fprintf(stderr, "bmpfun: batch: %s is not a folder\n", folder.c_str());
      return 1;
    }
    if (!fs::create_directories(folder, ec)) {
      std::fprintf(stderr, "bmpfun: batch: cannot make the folder %s: %s\n", folder.c_str(),
                   ec.message().c_str());
      return 1;
    }
  }
  const std::vector<std::string> inputs(args.begin() + 2, args.end());
  const std::vector<Job> jobs = plan(folder, inputs);

  // Files in parallel, each file's operations on the threads left over. A chain that draws
  // random numbers runs one file at a time: the numbers come from one process-wide sequence.
  const bool random = drawsRandomNumbers(ops);
  const int32_t budget = detail::threadBudget(limits);
  const int32_t workers =
      random ? 1 : static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(budget), jobs.size()));
  Limits perFile = limits;
  perFile.threads = std::max(1, budget / workers);

  Progress progress(jobs.size(), ::isatty(STDERR_FILENO) == 1);
  std::atomic<size_t> next{0};
  const auto work = [&]() noexcept {
    for (size_t k = next++; k < jobs.size(); k = next++) {
      bool written = false;
      try {
        written = runOne(jobs[k], ops, perFile, save, random, progress);
      } catch (const std::exception& e) {  // out of memory for a message or a name
        progress.say("bmpfun: " + jobs[k].input + ": " + e.what());
      }
      progress.fileDone(written);
    }
  };
  {
    // This thread is one of the workers.
    detail::JoinedThreads helpers;
    try {
      for (int32_t w = 1; w < workers; ++w) helpers.threads.emplace_back(work);
    } catch (const std::exception&) {
      // No thread to spare: the files still get done, by the workers that did start.
    }
    work();
  }
  progress.finish();
  return progress.failed() > 0 ? 1 : 0;
}

}  // namespace bmpfun::cli
