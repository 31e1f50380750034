// The batch command. Files are handed out one at a time to a few workers; each worker loads a
// file, runs the chain and writes the result, with the library's operations on the threads
// left over (with more files than threads, every worker runs its operations on one thread,
// which spends no time starting threads inside the operations). The calling thread is one of
// the workers. How many files are in flight at once is bounded by their memory: each file's
// peak is estimated from its header and the chain before it is loaded. Diagnostics are whole
// lines on stderr under one lock; on a terminal a progress line is kept below them, redrawn
// as files finish.
#include "batch.hpp"

#include <bmpfun/image.hpp>

#include "messages.hpp"
#include "platform.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <set>
#include <string_view>
#include <thread>
#include <utility>

namespace bmpfun::cli {

namespace fs = std::filesystem;

namespace {

using Clock = std::chrono::steady_clock;

// One input and where its result goes; refusal is the line to print instead when the file
// must not be written there.
struct Job {
  std::string input;
  std::string output;
  std::string refusal;
};

using FileId = FileIdentity;

std::string canonical(const std::string& path) {
  std::error_code ignored;
  const fs::path resolved = fs::weakly_canonical(fs::absolute(toPath(path), ignored), ignored);
  return resolved.empty() ? path : fromPath(resolved);
}

// Every input's output, refused where the input was given before (under any name: the same
// path after links are resolved, or the same file), where the output would replace an input
// (the same tests), or where an earlier input already writes it.
std::vector<Job> plan(const std::string& folder, const std::vector<std::string>& inputs) {
  std::set<std::string> inputPaths;
  std::set<FileId> inputFiles;
  for (const auto& input : inputs) {
    inputPaths.insert(canonical(input));
    if (const auto id = identityOf(input)) inputFiles.insert(*id);
  }
  std::map<FileId, std::string> firstOfFile;      // a file -> the first input naming it
  std::map<std::string, std::string> firstOfPath;  // the same for paths that name no file
  std::map<std::string, std::string> claimed;      // output -> the input that writes it
  std::vector<Job> jobs;
  for (const auto& input : inputs) {
    Job job{input, fromPath(toPath(folder) / toPath(input).filename()), {}};
    std::optional<std::string> first;  // the earlier input that names the same file
    if (const auto inputId = identityOf(input)) {
      if (const auto [at, fresh] = firstOfFile.emplace(*inputId, input); !fresh) first = at->second;
    } else if (const auto [at, fresh] = firstOfPath.emplace(canonical(input), input); !fresh) {
      first = at->second;
    }
    const std::string where = canonical(job.output);
    const auto outputId = identityOf(job.output);
    if (toPath(input).filename().empty()) {
      job.refusal = "bmpfun: " + input + ": names no file";
    } else if (first) {
      job.refusal = "bmpfun: " + input + ": given twice" + (*first == input ? "" : " (the same file as " + *first + ")");
    } else if (inputPaths.count(where) != 0 || (outputId && inputFiles.count(*outputId) != 0)) {
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
    printErrorLine(line);
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

// Load, run the chain, write; false (with the line said) on the first failure. Every line
// names its file as apply's would: the input for a load or an operation, the output for a
// write.
bool runOne(const Job& job, const std::vector<Step>& steps, const Limits& limits,
            const SaveOptions& save, bool reseed, Progress& progress) {
  // The chain draws random numbers: give each file the sequence a fresh process starts with,
  // so that it comes out as `bmpfun apply` would write it.
  if (reseed) restartRandomSequence();
  Status status;
  auto image = Image::load(job.input, limits, &status);
  if (!image) {
    progress.say(loadFailureLine(job.input, status));
    return false;
  }
  if (const std::string warning = warningLine(job.input, status); !warning.empty()) {
    progress.say(warning);
  }
  for (const Step& step : steps) {
    if (const Status done = applyStep(step, image); !done.ok()) {
      progress.say(stepFailureLine(step, done, job.input));
      return false;
    }
  }
  if (!image->save(job.output, save, &status)) {
    progress.say(writeFailureLine(job.output, status));
    return false;
  }
  return true;
}

bool drawsRandomNumbers(const std::vector<Step>& steps) {
  return std::any_of(steps.begin(), steps.end(), [](const Step& step) { return step.operation->drawsRandomNumbers; });
}

// ---- memory

// Files in flight hold together at most this many bytes of pixels (by their estimates), but
// two files may always be in flight, whatever their size: the second one's loading and
// writing, which run on one thread, overlap the first one's. The peak of a batch is then about
// the larger of this and two files' peaks, whatever the number of processors.
constexpr uint64_t kMemoryBudget = uint64_t{256} << 20;
constexpr size_t kAlwaysInFlight = 2;

// The most bytes of pixels a file holds at once while the chain runs on it, from its size:
// the picture, and at each operation that makes a new one the old and the new together (the
// working copy of edge-detect is one more of its size). A size the chain cannot make ends the
// estimate there, as the operation then fails without allocating.
uint64_t chainPeakBytes(int64_t width, int64_t height, const std::vector<Step>& steps, int64_t maxPixels) {
  double w = static_cast<double>(width), h = static_cast<double>(height);
  double now = w * h, peak = now;
  for (const Step& step : steps) {
    const std::string_view name = step.operation->name;
    const std::vector<double>& a = step.arguments;
    double nw = w, nh = h;
    if (name == "fun" && a[0] == 1.0) {
      nw = nh = 2.0 * h + 1.0;
    } else if (name == "crop") {
      nw = a[2];
      nh = a[3];
    } else if (name == "scale") {
      nw = std::floor(w * a[0]);
      nh = std::floor(h * a[1]);
    } else if (name == "rotate") {
      // At most the square around the turned picture's diagonal.
      nw = nh = 2.0 * std::floor(std::sqrt(w * w + h * h)) + 1.0;
    } else if (name != "fun" && name != "mosaic" && name != "auto-crop" && name != "edge-detect") {
      continue;  // works in place
    }
    const double next = nw * nh;
    if (!(nw >= 1.0 && nh >= 1.0) || next > static_cast<double>(maxPixels)) break;
    peak = std::max(peak, now + next);
    if (name == "edge-detect") continue;  // the copy goes; the picture keeps its size
    w = nw;
    h = nh;
    now = next;
  }
  return static_cast<uint64_t>(peak) * sizeof(Pixel);
}

// The estimate for one input, from its header. A file that does not exist allocates nothing;
// a size the header does not tell counts as the largest, and so does a pipe's (reading its
// header would take the bytes from the load).
uint64_t estimatePeakBytes(const std::string& path, const std::vector<Step>& steps, const Limits& limits) {
  const std::optional<bool> regular = isRegularFile(path);
  if (!regular) return 0;
  int64_t width = 0, height = 0;
  if (*regular) {
    Status status;
    if (!pictureSizeOf(path, width, height, &status) && status.cause == Cause::cannotOpen) return 0;
  }
  if (width < 1 || height < 1) {
    const double side = std::sqrt(static_cast<double>(limits.maxPixels));
    width = height = static_cast<int64_t>(side);
  } else if (width * height > limits.maxPixels) {
    return 0;  // refused before anything is allocated
  }
  return chainPeakBytes(width, height, steps, limits.maxPixels);
}

// Lets a file start when the files in flight leave room for its estimate.
class MemoryGate {
 public:
  void enter(uint64_t bytes) {
    std::unique_lock<std::mutex> hold(lock_);
    room_.wait(hold, [&] { return inFlight_ < kAlwaysInFlight || used_ + bytes <= kMemoryBudget; });
    ++inFlight_;
    used_ += bytes;
  }
  void leave(uint64_t bytes) {
    {
      const std::lock_guard<std::mutex> hold(lock_);
      --inFlight_;
      used_ -= bytes;
    }
    room_.notify_all();
  }

 private:
  std::mutex lock_;
  std::condition_variable room_;
  size_t inFlight_ = 0;
  uint64_t used_ = 0;
};

// A file's place in the gate for as long as it is worked on.
class InFlight {
 public:
  InFlight(MemoryGate& gate, uint64_t bytes) : gate_(gate), bytes_(bytes) { gate_.enter(bytes_); }
  ~InFlight() { gate_.leave(bytes_); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  MemoryGate& gate_;
  uint64_t bytes_;
};

// Threads for one file's operations: the budget shared by as many files of its size as can
// be in flight together.
int32_t threadsForFile(uint64_t bytes, int32_t budget, int32_t workers) {
  const auto most = static_cast<uint64_t>(workers);
  const uint64_t fit = bytes == 0 ? most : std::max<uint64_t>(kMemoryBudget / bytes, kAlwaysInFlight);
  const auto together = static_cast<int32_t>(std::min(fit, most));
  return std::max(1, budget / std::max(1, together));
}

}  // namespace

int runBatch(const Limits& limits, const SaveOptions& save, const std::vector<std::string>& args,
             std::string& usage) {
  if (args.size() < 3) {
    usage = "batch: expected OUTDIR CHAIN INPUT...";
    return 2;
  }
  std::vector<Step> steps;
  if (std::string error; !parseChain(args[1], steps, error)) {
    usage = "batch: " + error;
    return 2;
  }
  for (const Step& step : steps) {
    const auto refuses = step.operation->refusesEveryPicture;
    if (const Status why = refuses != nullptr ? refuses(step.arguments) : Status{}; !why.ok()) {
      usage = "batch: " + step.token + ": " + to_string(why) + ", whatever the picture";
      return 2;
    }
  }
  const std::vector<std::string> inputs(args.begin() + 2, args.end());
  // An operation given as an input: the chain was not one argument (no quotes around it).
  for (const auto& input : inputs) {
    Step step;
    std::string ignored;
    std::error_code ec;
    if (parseStep(input, step, ignored) && !fs::exists(fs::symlink_status(toPath(input), ec))) {
      usage = "batch: '" + input + "' is an operation, not a file: give the whole chain as one argument, e.g. '" +
              args[1] + " " + input + "'";
      return 2;
    }
  }

  const std::string& folder = args[0];
  if (folder.empty()) {
    usage = "batch: OUTDIR is empty (give a folder, '.' for this one)";
    return 2;
  }
  std::error_code ec;
  if (!fs::is_directory(toPath(folder), ec)) {
    if (fs::exists(toPath(folder), ec)) {
      printErrorLine("bmpfun: " + folder + ": not a folder");
      return 1;
    }
    if (!fs::create_directories(toPath(folder), ec)) {
      printErrorLine("bmpfun: " + folder + ": cannot make the folder: " + ec.message());
      return 1;
    }
  }
  const std::vector<Job> jobs = plan(folder, inputs);

  // Files in parallel, each file's operations on the threads left over. A chain that draws
  // random numbers runs one file at a time: the numbers come from one process-wide sequence.
  const bool random = drawsRandomNumbers(steps);
  const int32_t budget = threadCount(limits);
  const int32_t workers =
      random ? 1 : static_cast<int32_t>(std::min<size_t>(static_cast<size_t>(budget), jobs.size()));

  Progress progress(jobs.size(), errorIsTerminal());
  MemoryGate gate;
  std::atomic<size_t> next{0};
  const auto work = [&]() noexcept {
    for (size_t k = next++; k < jobs.size(); k = next++) {
      const Job& job = jobs[k];
      bool written = false;
      try {
        if (!job.refusal.empty()) {
          progress.say(job.refusal);
        } else {
          const uint64_t bytes = estimatePeakBytes(job.input, steps, limits);
          const InFlight admitted(gate, bytes);
          Limits perFile = limits;
          perFile.threads = threadsForFile(bytes, budget, workers);
          written = runOne(job, steps, perFile, save, random, progress);
        }
      } catch (const std::bad_alloc&) {  // memory for a message, a name or a thread's state
        progress.say(outOfMemoryLine(job.input));
      } catch (const std::exception& e) {
        progress.say("bmpfun: " + job.input + ": " + e.what());
      }
      progress.fileDone(written);
    }
  };
  {
    // This thread is one of the workers.
    std::vector<std::thread> helpers;
    try {
      for (int32_t w = 1; w < workers; ++w) helpers.emplace_back(work);
    } catch (const std::exception&) {
      // No thread to spare: the files still get done, by the workers that did start.
    }
    work();
    for (std::thread& helper : helpers) helper.join();
  }
  progress.finish();
  return progress.failed() > 0 ? 1 : 0;
}

}  // namespace bmpfun::cli
