// Safe file output: a file at the target path either gets the whole new contents or is left
// exactly as it was, also when the process is killed half-way.
#pragma once
#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace bmpfun::detail {

// The system calls whose failures decide a save, on C runtime descriptors. Tests derive from
// it to inject a short write or a failed flush or close; the defaults call the system (write,
// fsync and close; on Windows WriteFile, FlushFileBuffers and the runtime's close; writeAt for
// saves that write their rows on several threads). A failure
// answers -1 with the reason in errno, a Status::systemError value.
struct FileIo {
  virtual ~FileIo() = default;
  virtual ssize_t write(int fd, const void* data, size_t size);
  // write at offset (pwrite; on Windows WriteFile at an offset), from several threads at once.
  virtual ssize_t writeAt(int fd, const void* data, size_t size, uint64_t offset);
  virtual int sync(int fd);
  virtual int close(int fd);
};
// The interface every save uses unless handed another one: the system's, or the one set by
// replaceSystemFileIo. Tests replace it to inject failures into saves made through the public
// calls; null puts the system's back. Returns the replaced one (null for the system's).
FileIo& systemFileIo();
FileIo* replaceSystemFileIo(FileIo* io);

// Output to a path. A path that does not exist or names a regular file (a symbolic link is
// followed to its target first) is written to a new temporary file in the same folder, which
// replaces the target by a rename only once everything was written and closed: a reader sees
// the old file or the new one, never a mix. With sync, the file is flushed to the disk
// (fsync) before the rename and its folder after it; without, the swap is atomic but the new
// contents may still sit in the system's cache when the power goes.
//
// On Windows the rename is MoveFileExW (replacing, written through), the flush
// FlushFileBuffers; the system has no flush of a folder, so the written-through rename is
// all sync adds after it. A rename there does not replace a file that is open: an existing
// file another process holds open is refused before anything is written, with the system's
// reason (a sharing violation). The replacement keeps the old file's hidden and system
// attributes; its access rights are the folder's, as for a new file.
//
// A folder where no temporary file can be made (read-only, say) is refused, also for an
// existing writable file there: writing over it in place could be cut by a signal or a
// failure half-way and interleave with a second writer, and nothing could put the old bytes
// back. Devices, pipes and sockets (and a file reached through a descriptor link such as
// /dev/stdout that names no folder) are written directly: there is nothing to replace.
//
// Abandoned output (failure, or destruction before commit) removes the temporary file. While
// it exists, the temporary file is listed for removeTemporaryFiles.
class OutputFile {
 public:
  explicit OutputFile(FileIo& io, bool sync = false) : io_(io), sync_(sync) {}
  ~OutputFile();
  OutputFile(const OutputFile&) = delete;
  OutputFile& operator=(const OutputFile&) = delete;

  bool open(const std::string& path);
  // Buffered; false once any write failed.
  bool write(const void* data, size_t size);
  // Writes the buffered bytes out; false once any write failed.
  bool flush();
  // Whether writeAt may be used: the output is a temporary file of its own, where offsets
  // mean something (a device or pipe written directly takes its bytes in order only).
  bool positional() const { return fd_ >= 0 && !temporary_.empty(); }
  // Writes size bytes at offset, unbuffered, from several threads at once (for different
  // ranges); what write buffered must be flushed first. False once any write failed.
  bool writeAt(const void* data, size_t size, uint64_t offset);
  // Flushes, closes and puts the file in place. False if anything failed on the way. A
  // failure to flush the folder after the rename (sync only) is reported although the new
  // file is already in place: it is not known to be on the disk.
  bool commit();
  // Gives up: closes and removes the temporary file. Also what the destructor does.
  void abandon();
  // The system's error (errno) of the first step that failed; 0 while nothing failed.
  int error() const { return error_; }
  // open failed because an existing file could not be replaced safely: no temporary file
  // can be made beside it (error() says why).
  bool noTemporaryFile() const { return noTemporaryFile_; }

  // The temporary file being written, or empty when writing directly (for tests).
  const std::string& temporaryPath() const { return temporary_; }

 private:
  bool failWith(int error);  // records error (the first one counts) and answers false

  // The system's side (file_output_posix.cpp, file_output_windows.cpp).
  // Finds what path names and opens the temporary file beside it (createTemporary) or, for
  // a device or pipe, the path itself.
  bool openTarget(const std::string& path);
  // Puts the closed temporary file in place of target_.
  bool replaceTarget();
  // After the replacement, with sync: flushes what the system needs for it to last.
  bool syncReplacement();

  // A new temporary file in the folder folderPrefix names (ending in its separator; empty
  // for the working folder), listed for removeTemporaryFiles from before it exists: create
  // makes the named file exclusively and answers its descriptor, or -1 with the reason in
  // error, EEXIST to try another name. The reason it failed goes to error(); an existing
  // target makes that a noTemporaryFile refusal.
  using CreateFile = std::function<int(const std::string& name, int& error)>;
  bool createTemporary(const std::string& folderPrefix, bool targetExists, const CreateFile& create);

  FileIo& io_;
  bool sync_ = false;
  int fd_ = -1;
  bool regular_ = false;  // the open descriptor is a regular file (one fsync can flush)
  std::atomic<bool> failed_{false};
  std::mutex failing_;  // a failing writeAt records its error under it
  int error_ = 0;
  bool noTemporaryFile_ = false;
  std::string target_;     // the path the result must appear at (symbolic links resolved)
  std::string temporary_;  // non-empty while writing to a temporary file
  int slot_ = -1;          // its entry in the list of temporary files, -1 for none
  std::vector<uint8_t> buffer_;
  size_t used_ = 0;
};

}  // namespace bmpfun::detail
