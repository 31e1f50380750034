// Safe file output: a file at the target path either gets the whole new contents or is left
// exactly as it was.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bmpfun::detail {

// The two system calls whose failures decide a save. Tests derive from it to inject a short
// write or a failed close; the defaults call the system.
struct FileIo {
  virtual ~FileIo() = default;
  virtual ssize_t write(int fd, const void* data, size_t size);
  virtual int close(int fd);
};
// The interface every save uses unless handed another one: the system's, or the one set by
// replaceSystemFileIo. Tests replace it to inject failures into saves made through the public
// calls; null puts the system's back. Returns the replaced one (null for the system's).
FileIo& systemFileIo();
FileIo* replaceSystemFileIo(FileIo* io);

// Output to a path. A path that does not exist or names a regular file (a symbolic link is
// followed to its target first) is written to a new temporary file in the same directory,
// which replaces the target only once everything was written and closed. Anything else that
// exists (a device, a pipe), or a directory where no temporary file can be created, is
// written in place; an existing file written in place is read first (refused if it cannot
// be) so that a failure can put its old contents back. Abandoned output (failure, or
// destruction before commit) removes the temporary file or a file the in-place write
// created, or restores the file written over.
class OutputFile {
 public:
  explicit OutputFile(FileIo& io) : io_(io) {}
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool open(const std::string& path);
  // Buffered; false once any write failed.
  bool write(const void* data, size_t size);
  // Flushes, closes and puts the file in place. False if anything failed on the way.
  bool commit();
  // Gives up: removes the temporary file, or puts back what the in-place write replaced.
  // Also what the destructor does before commit.
  void abandon();
  // The system's error (errno) of the first step that failed; 0 while nothing failed.
  int error() const { return error_; }

  // The temporary file being written, or empty when writing in place (for tests).
  const std::string& temporaryPath() const { return temporary_; }

 private:
  bool flush();
  bool openOverExisting();
  bool failWith(int error);  // records error (the first one counts) and answers false  // in place over target_, keeping its old contents

  FileIo& io_;
  int fd_ = -1;
  bool failed_ = false;
  int error_ = 0;
  std::string target_;     // the path the result must appear at (symbolic links resolved)
  std::string temporary_;  // non-empty while writing to a temporary file
  bool createdInPlace_ = false;
  bool keepsOriginal_ = false;     // writing over an existing file in place
  std::vector<uint8_t> original_;  // its contents before, restored on failure
  uint64_t written_ = 0;           // bytes written to it so far
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
};

}  // namespace bmpfun::detail
