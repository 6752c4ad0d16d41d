// The files of a bundle directory, reached relative to a descriptor of the directory
// opened once, never through a symbolic link inside it. A file is written whole beside
// its name and renamed over it, so a link standing there is replaced, never written
// through, and the old file stays whole until the new one is complete. A file is read
// whole, charged to the load's budget.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "zelvora/bundle_limits.hpp"

namespace zelvora {

/// A failed file operation, with the errno it left.
class FileError : public std::runtime_error {
 public:
  enum class Reason {
    system,        ///< a system call failed with error()
    link_on_path,  ///< a subdirectory on the way to the file is a symbolic link
    not_regular,   ///< the entry is a link, a FIFO, a device or a socket
  };
  FileError(Reason reason, int error, const std::string& message)
      : std::runtime_error(message), reason_(reason), error_(error) {}
  Reason reason() const noexcept { return reason_; }
  int error() const noexcept { return error_; }

 private:
  Reason reason_;
  int error_;
};

/// Called when a signal interrupts a system call, before the call is retried; it may
/// throw to abandon the operation. Null: retried at once.
using OnInterrupt = void (*)();

/// Owns a file descriptor.
class FileDescriptor {
 public:
  explicit FileDescriptor(int fd = -1) noexcept : fd_(fd) {}
  FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
  FileDescriptor& operator=(FileDescriptor&& other) noexcept {
    std::swap(fd_, other.fd_);
    return *this;
  }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  ~FileDescriptor();
  int get() const noexcept { return fd_; }
  int release() noexcept { return std::exchange(fd_, -1); }

 private:
  int fd_;
};

/// Opens the directory at `path`. The path itself may run through links (the caller
/// chose it); nothing below it is followed.
FileDescriptor open_directory(const std::string& path, OnInterrupt on_interrupt = nullptr);

/// Where one file is written: the descriptor of its directory (`top`, or a subdirectory
/// opened on the way and owned here) and its last name segment.
struct FileTarget {
  FileDescriptor subdirectory;
  int directory = -1;
  std::string leaf;
};

/// Opens the subdirectories on the way to the relative name `path` below `top`, one
/// segment at a time and never through a symbolic link (FileError link_on_path), so the
/// file lands below `top` whatever is swapped in meanwhile. The caller has checked that
/// `path` stays inside the directory by its text (lexical_placement).
FileTarget open_target(int top, std::string_view path, OnInterrupt on_interrupt = nullptr);

/// Writes `data` to a fresh temporary file beside the target, flushes it to disk and
/// renames it over the target's name. A regular file being replaced keeps its permission
/// bits. On failure the temporary file is removed and the old file is left as it was.
void write_file_atomically(const FileTarget& target, std::string_view data,
                           OnInterrupt on_interrupt = nullptr);

/// Storage a file is read into, grown as the file turns out larger than declared.
class ReadBuffer {
 public:
  virtual ~ReadBuffer() = default;
  /// Makes room for exactly `size` bytes, keeping the first ones; returns their start.
  virtual char* resize(std::size_t size) = 0;
};

/// Reads the regular file `entry` of `directory` whole into `into` and returns its size.
/// A link is not followed and a FIFO is not waited on: both are FileError not_regular; a
/// directory fails with EISDIR. The size on disk is charged to `budget` first, then what
/// was read (a file may grow meanwhile): BudgetExceeded past it.
std::size_t read_regular_file(int directory, const std::string& entry, ExpansionBudget& budget,
                              ReadBuffer& into, OnInterrupt on_interrupt = nullptr);

/// The same into a string.
std::string read_regular_file(int directory, const std::string& entry, ExpansionBudget& budget,
                              OnInterrupt on_interrupt = nullptr);

}  // namespace zelvora
