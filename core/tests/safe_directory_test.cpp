#include "zelvora/safe_directory.hpp"

#include <doctest/doctest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fs = std::filesystem;
using zelvora::ExpansionBudget;
using zelvora::FileError;

namespace {

struct TempDir {
  fs::path path;
  zelvora::FileDescriptor fd;
  TempDir() {
    std::string name = (fs::temp_directory_path() / "zelvora_core_XXXXXX").string();
    REQUIRE(::mkdtemp(name.data()) != nullptr);
    path = name;
    fd = zelvora::open_directory(name);
  }
  ~TempDir() { fs::remove_all(path); }
  void put(const fs::path& name, const std::string& text) const {
    std::ofstream(path / name, std::ios::binary) << text;
  }
  std::string get(const fs::path& name) const {
    ExpansionBudget budget(1 << 20);
    return zelvora::read_regular_file(fd.get(), name.string(), budget);
  }
  void write(std::string_view name, std::string_view data) const {
    zelvora::write_file_atomically(zelvora::open_target(fd.get(), name), data);
  }
};

template <class F>
FileError file_error(F&& f) {
  try {
    f();
  } catch (const FileError& e) {
    return e;
  }
  FAIL("no FileError");
  return FileError(FileError::Reason::system, 0, "");
}

}  // namespace

TEST_CASE("writes land whole in subdirectories and replace files and links standing there") {
  TempDir dir;
  fs::create_directory(dir.path / "plots");
  dir.put("victim", "precious");
  dir.put("old.txt", "old");
  ::chmod((dir.path / "old.txt").c_str(), 0600);
  fs::create_symlink(dir.path / "victim", dir.path / "link.txt");
  for (const char* name : {"./plots//roc.png", "old.txt", "link.txt"}) dir.write(name, "new");
  CHECK(dir.get("plots/roc.png") == "new");
  CHECK(dir.get("old.txt") == "new");
  CHECK((fs::status(dir.path / "old.txt").permissions() & fs::perms::all) ==
        (fs::perms::owner_read | fs::perms::owner_write));
  CHECK_FALSE(fs::is_symlink(dir.path / "link.txt"));
  CHECK(dir.get("link.txt") == "new");
  CHECK(dir.get("victim") == "precious");
}

TEST_CASE("a failed write leaves no temporary file and the target as it was") {
  TempDir dir;
  fs::create_directory(dir.path / "sub");
  const FileError e = file_error([&] { dir.write("sub", "data"); });  // rename over a directory
  CHECK(e.reason() == FileError::Reason::system);
  CHECK(e.error() == EISDIR);
  CHECK(std::distance(fs::directory_iterator(dir.path), {}) == 1);
  CHECK(file_error([&] { dir.write("missing/a.png", ""); }).error() == ENOENT);
}

TEST_CASE("a symbolic link on the way to a file is refused, not followed") {
  TempDir dir, outside;
  fs::create_directory_symlink(outside.path, dir.path / "plots");
  const FileError e = file_error([&] { dir.write("plots/roc.png", "x"); });
  CHECK(e.reason() == FileError::Reason::link_on_path);
  CHECK(fs::is_empty(outside.path));
}

TEST_CASE("reads take regular files only, never through a link or from a FIFO") {
  TempDir dir;
  dir.put("a.yaml", "secret");
  fs::create_symlink(dir.path / "a.yaml", dir.path / "link.yaml");
  REQUIRE(::mkfifo((dir.path / "pipe").c_str(), 0600) == 0);
  fs::create_directory(dir.path / "sub");
  struct Case {
    const char* entry;
    FileError::Reason reason;
    int error;
  };
  const Case cases[] = {
      {"link.yaml", FileError::Reason::not_regular, ELOOP},
      {"pipe", FileError::Reason::not_regular, 0},
      {"sub", FileError::Reason::system, EISDIR},
      {"missing", FileError::Reason::system, ENOENT},
  };
  for (const Case& c : cases) {
    CAPTURE(c.entry);
    const FileError e = file_error([&] { dir.get(c.entry); });
    CHECK(e.reason() == c.reason);
    CHECK(e.error() == c.error);
  }
}

TEST_CASE("reads are charged to the budget: declared size first, then what was read") {
  TempDir dir;
  dir.put("a.png", std::string(10, 'a'));
  ExpansionBudget exact(10);
  CHECK(zelvora::read_regular_file(dir.fd.get(), "a.png", exact) == std::string(10, 'a'));
  CHECK_THROWS_AS(zelvora::read_regular_file(dir.fd.get(), "a.png", exact),
                  zelvora::BudgetExceeded);
  // A file growing while it is read is read past its declared size, within the budget.
  struct Growing final : zelvora::ReadBuffer {
    const TempDir& dir;
    std::string data;
    explicit Growing(const TempDir& d) : dir(d) {}
    char* resize(std::size_t size) override {
      if (data.empty()) std::ofstream(dir.path / "a.png", std::ios::app) << "bbbbb";
      data.resize(size);
      return data.data();
    }
  };
  ExpansionBudget roomy(15), tight(14);
  Growing into(dir), again(dir);
  CHECK(zelvora::read_regular_file(dir.fd.get(), "a.png", roomy, into) == 15);
  CHECK(into.data == "aaaaaaaaaabbbbb");
  dir.put("a.png", std::string(10, 'a'));
  CHECK_THROWS_AS(zelvora::read_regular_file(dir.fd.get(), "a.png", tight, again),
                  zelvora::BudgetExceeded);
}
