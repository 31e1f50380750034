// Sequential byte input with the C stream's end-of-file rules, from a file or from memory.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <type_traits>

namespace bmpfun::detail {

// A forward-only byte stream. Like a C stream, the end-of-file indicator is set by a read
// (or skip) that asks for more than is left, not by reaching the end exactly, and it stays
// set. A read error also ends the stream for good.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  // Copies up to count bytes to buffer; returns how many arrived.
  virtual size_t read(void* buffer, size_t count) = 0;
  // Passes over up to count bytes without storing them; returns how many were passed.
  virtual uint64_t skip(uint64_t count) = 0;
  virtual bool eof() const = 0;
  // The system's error (errno) of a failed read; 0 when every read ended normally.
  virtual int error() const { return 0; }
  // Bytes read or passed so far.
  virtual uint64_t offset() const = 0;

  // Reads at offsets, for readers that read rows on several threads: true when readAt works.
  virtual bool readsAt() const { return false; }
  // Copies up to count bytes from offset (0 is the source's first byte) to buffer, from any
  // thread at once, without moving the stream or touching its end and error indicators.
  // Returns how many arrived: fewer at the end, or when a read failed (error then holds the
  // system's errno).
  virtual size_t readAt(void* buffer, size_t count, uint64_t offset, int& error) const;
};

// A file opened for reading (the path must name something that is not a directory).
class FileSource final : public ByteSource {
 public:
  // isOpen() is false when the path cannot be opened for reading or is a directory;
  // openError() then gives the system's reason (EISDIR for a directory).
  explicit FileSource(const std::string& path);
  ~FileSource() override;
  bool isOpen() const { return file_ != nullptr; }
  int openError() const { return openError_; }
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  size_t read(void* buffer, size_t count) override;
  uint64_t skip(uint64_t count) override;
  bool eof() const override { return ended_; }
  int error() const override { return error_; }
  uint64_t offset() const override { return offset_; }
  // A regular file is read at offsets too (pread; on Windows ReadFile at an offset).
  bool readsAt() const override { return seekable_; }
  size_t readAt(void* buffer, size_t count, uint64_t offset, int& error) const override;

 private:
  void noteReadError();
  // The stream's position, and a seek to an absolute one; false when the system refuses.
  static bool tell(std::FILE* file, uint64_t& position);
  static bool seek(std::FILE* file, uint64_t position);

  std::FILE* file_ = nullptr;
  int descriptor_ = -1;    // the stream's descriptor, for readAt
  bool seekable_ = false;  // a regular file: skips seek as far as its reported size
  uint64_t size_ = 0;      // the size the system reported at open (may be wrong, see skip)
  uint64_t offset_ = 0;
  bool ended_ = false;
  int openError_ = 0;
  int error_ = 0;
};

// A caller's byte array (not copied; it must outlive the source).
class MemorySource final : public ByteSource {
 public:
  MemorySource(const uint8_t* data, size_t size) : data_(data), size_(size) {}
  size_t read(void* buffer, size_t count) override;
  uint64_t skip(uint64_t count) override;
  bool eof() const override { return ended_; }
  uint64_t offset() const override { return position_; }
  bool readsAt() const override { return true; }
  size_t readAt(void* buffer, size_t count, uint64_t offset, int& error) const override;

 private:
  const uint8_t* data_;
  size_t size_;
  size_t position_ = 0;
  bool ended_ = false;
};

// fread with a guard: false at once (buffer untouched) when the end-of-file indicator is
// already set; otherwise reads itemCount items of itemSize bytes and is true when all of
// them arrived. Bytes of a partly read item are stored too, as fread leaves them.
bool guardedRead(void* buffer, size_t itemSize, size_t itemCount, ByteSource& source);
// The same guard around a skip of count bytes (the gap before the pixel data).
bool guardedSkip(uint64_t count, ByteSource& source);

// Reads one little-endian field of sizeof(T) bytes with guardedRead. The bytes that arrive
// replace the field's low-order bytes; bytes that do not arrive keep the field's old value.
template <typename T>
bool readField(T& field, ByteSource& source) {
  using U = std::make_unsigned_t<T>;
  uint8_t bytes[sizeof(T)];
  U value = static_cast<U>(field);
  for (size_t i = 0; i < sizeof(T); ++i) bytes[i] = static_cast<uint8_t>(value >> (8 * i));
  const bool ok = guardedRead(bytes, sizeof(T), 1, source);
  value = 0;
  for (size_t i = 0; i < sizeof(T); ++i) value = static_cast<U>(value | (U{bytes[i]} << (8 * i)));
  field = static_cast<T>(value);
  return ok;
}

}  // namespace bmpfun::detail
