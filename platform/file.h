// The framework's file object, shaped as the updater's package loader uses it: read-only opening
// of an existing file with no sharing, positioning from the start, reads that return what they
// got, and the length. A system error while positioning or reading throws CFileException, which
// the dialog framework catches around a message handler and reports in its stop-icon box.
#pragma once

#include <cstdint>
#include <exception>
#include <string>

namespace platform {

class CFileException : public std::exception {
 public:
  CFileException(int osError, std::string fileName);
  int osError() const { return osError_; }
  const std::string& fileName() const { return fileName_; }
  // The sentence the stop-icon box shows, naming the file and the system's reason.
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  int osError_;
  std::string fileName_;
  std::string description_;
};

class CFile {
 public:
  enum OpenFlags : unsigned { modeRead = 0 };

  CFile() = default;
  CFile(const CFile&) = delete;
  CFile& operator=(const CFile&) = delete;
  ~CFile();  // closes a file still open

  // Read-only, existing files only, no sharing: the file is locked with flock(LOCK_EX | LOCK_NB)
  // for as long as it is open here, so a second opener (in this process too) fails. Fails by
  // result; `error`, when given, receives the reason.
  bool Open(const std::string& path, unsigned flags, CFileException** error = nullptr);
  bool IsOpen() const { return fd_ >= 0; }
  void SeekToBegin();
  // Moves to `offset` bytes from the start; a negative offset throws.
  std::uint64_t SeekFromBegin(std::int64_t offset);
  // Returns the bytes read: `count`, or fewer at the end of the file. Retries interrupted and
  // partial reads, so a short count means the end of the file.
  std::uint32_t Read(void* buffer, std::uint32_t count);
  std::uint64_t GetLength() const;
  void Close();
  const std::string& GetFilePath() const { return path_; }

 private:
  [[noreturn]] void Throw(int osError) const;
  int fd_ = -1;
  std::string path_;
};

}  // namespace platform
