#include "zelvora/safe_directory.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <mutex>
#include <random>
#include <system_error>

namespace zelvora {

namespace {

// A name quoted as a message shows it.
std::string quoted(std::string_view name) {
  std::string text(1, '\'');
  return text.append(name).append(1, '\'');
}

FileError system_failure(int error, std::string_view call, std::string_view name) {
  std::string message(call);
  message.append(" ")
      .append(quoted(name))
      .append(": ")
      .append(std::system_category().message(error));
  return FileError(FileError::Reason::system, error, message);
}

FileError not_regular(int error, std::string_view entry) {
  return FileError(FileError::Reason::not_regular, error,
                   quoted(entry).append(" is not a regular file"));
}

// Runs a system call, retrying when a signal interrupts it; a failure throws FileError
// with its errno.
template <class Call>
auto system_call(Call call, OnInterrupt on_interrupt, std::string_view what,
                 std::string_view name) {
  for (;;) {
    const auto result = call();
    if (result >= 0) return result;
    const int error = errno;
    if (error != EINTR) throw system_failure(error, what, name);
    if (on_interrupt) on_interrupt();
  }
}

// Whether the entry is a symbolic link (only to explain a refusal; nothing is opened).
bool is_symlink_at(int directory, const std::string& entry) {
  struct stat status {};
  return ::fstatat(directory, entry.c_str(), &status, AT_SYMLINK_NOFOLLOW) == 0 &&
         S_ISLNK(status.st_mode);
}

// A fresh name beside `leaf`; O_EXCL refuses it should it exist after all.
std::string temporary_name(const std::string& leaf) {
  // Saves run without the GIL, so two threads may ask at once.
  static std::mutex guard;
  static std::random_device source;
  const std::lock_guard<std::mutex> lock(guard);
  constexpr std::size_t kLeafPart = 200;  // leaves room below NAME_MAX
  std::string name(1, '.');
  name.append(leaf, 0, kLeafPart);
  for (int part = 0; part < 2; ++part) name.append(".").append(std::to_string(source()));
  return name.append(".tmp");
}

void write_all(int fd, std::string_view data, OnInterrupt on_interrupt, std::string_view name) {
  while (!data.empty()) {
    const auto written = system_call([&] { return ::write(fd, data.data(), data.size()); },
                                     on_interrupt, "write", name);
    data.remove_prefix(static_cast<std::size_t>(written));
  }
}

// A regular file being replaced keeps its permission bits, as it would when truncated.
void keep_permissions(int directory, const std::string& leaf, int file, OnInterrupt on_interrupt) {
  struct stat status {};
  if (::fstatat(directory, leaf.c_str(), &status, AT_SYMLINK_NOFOLLOW) != 0 ||
      !S_ISREG(status.st_mode))
    return;
  system_call([&] { return ::fchmod(file, status.st_mode & 07777); }, on_interrupt, "fchmod", leaf);
}

// Opens a directory entry for reading without following a link and without blocking (a
// FIFO would otherwise hold the load forever), and accepts only a regular file.
FileDescriptor open_regular_file(int directory, const std::string& entry,
                                 OnInterrupt on_interrupt) {
  constexpr int kFlags = O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC;
  int fd = -1;
  try {
    fd = system_call([&] { return ::openat(directory, entry.c_str(), kFlags); }, on_interrupt,
                     "openat", entry);
  } catch (const FileError& error) {
    if (error.error() != ELOOP) throw;
    throw not_regular(ELOOP, entry);
  }
  return FileDescriptor(fd);
}

}  // namespace

FileDescriptor::~FileDescriptor() {
  if (fd_ >= 0) ::close(fd_);
}

FileDescriptor open_directory(const std::string& path, OnInterrupt on_interrupt) {
  return FileDescriptor(
      system_call([&] { return ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); },
                  on_interrupt, "open", path));
}

FileTarget open_target(int top, std::string_view path, OnInterrupt on_interrupt) {
  FileTarget target{FileDescriptor(), top, {}};
  constexpr int kFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;
  std::size_t begin = 0;
  for (std::size_t slash; (slash = path.find('/', begin)) != std::string_view::npos;
       begin = slash + 1) {
    const std::string segment(path.substr(begin, slash - begin));
    if (segment.empty() || segment == ".") continue;
    const int parent = target.directory;
    try {
      target.subdirectory =
          FileDescriptor(system_call([&] { return ::openat(parent, segment.c_str(), kFlags); },
                                     on_interrupt, "openat", segment));
    } catch (const FileError& error) {
      if (!is_symlink_at(parent, segment)) throw;
      throw FileError(FileError::Reason::link_on_path, error.error(),
                      quoted(segment).append(" on the way to the file is a symbolic link"));
    }
    target.directory = target.subdirectory.get();
  }
  target.leaf = path.substr(begin);
  return target;
}

void write_file_atomically(const FileTarget& target, std::string_view data,
                           OnInterrupt on_interrupt) {
  const int directory = target.directory;
  const std::string temporary = temporary_name(target.leaf);
  constexpr int kFlags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  FileDescriptor file(
      system_call([&] { return ::openat(directory, temporary.c_str(), kFlags, 0666); },
                  on_interrupt, "openat", temporary));
  try {
    keep_permissions(directory, target.leaf, file.get(), on_interrupt);
    write_all(file.get(), data, on_interrupt, temporary);
    system_call([&] { return ::fsync(file.get()); }, on_interrupt, "fsync", temporary);
    // Not retried: the descriptor is gone whatever close() reports.
    if (::close(file.release()) != 0) throw system_failure(errno, "close", temporary);
    system_call(
        [&] { return ::renameat(directory, temporary.c_str(), directory, target.leaf.c_str()); },
        on_interrupt, "renameat", target.leaf);
  } catch (...) {
    ::unlinkat(directory, temporary.c_str(), 0);
    throw;
  }
}

std::size_t read_regular_file(int directory, const std::string& entry, ExpansionBudget& budget,
                              ReadBuffer& into, OnInterrupt on_interrupt) {
  const FileDescriptor file = open_regular_file(directory, entry, on_interrupt);
  struct stat status {};
  system_call([&] { return ::fstat(file.get(), &status); }, on_interrupt, "fstat", entry);
  if (S_ISDIR(status.st_mode))  // fails as reading it would
    throw system_failure(EISDIR, "read", entry);
  if (!S_ISREG(status.st_mode)) throw not_regular(0, entry);
  const auto declared = static_cast<long long>(status.st_size);
  budget.check_declared(declared);
  // At most one byte past the budget, so that a file grown past it shows.
  const long long most = budget.next_read(LLONG_MAX);
  auto capacity = static_cast<std::size_t>(declared < most ? declared + 1 : most);
  char* buffer = into.resize(capacity);
  std::size_t filled = 0;
  for (;;) {
    if (filled == capacity) {
      if (static_cast<long long>(capacity) >= most) break;
      capacity = static_cast<std::size_t>(
          std::min<long long>(most, 2LL * static_cast<long long>(capacity) + kReadChunk));
      buffer = into.resize(capacity);
    }
    const std::size_t wanted = capacity - filled;
    const auto count = system_call([&] { return ::read(file.get(), buffer + filled, wanted); },
                                   on_interrupt, "read", entry);
    if (count == 0) break;
    filled += static_cast<std::size_t>(count);
  }
  budget.spend(static_cast<long long>(filled));
  if (filled != capacity) into.resize(filled);
  return filled;
}

std::string read_regular_file(int directory, const std::string& entry, ExpansionBudget& budget,
                              OnInterrupt on_interrupt) {
  struct StringBuffer final : ReadBuffer {
    std::string data;
    char* resize(std::size_t size) override {
      data.resize(size);
      return data.data();
    }
  } buffer;
  read_regular_file(directory, entry, budget, buffer, on_interrupt);
  return std::move(buffer.data);
}

}  // namespace zelvora
