// Temporary directories for tests, removed with everything in them.
#pragma once

#include <string>
#include <string_view>

namespace harness {

// A fresh directory under /tmp (mkdtemp), removed with everything in it by the destructor.
class TempDir {
  public:
    // name_hint becomes part of the directory's name (it may hold spaces).
    explicit TempDir(const std::string& name_hint = "veldrin-test");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::string& path() const { return path_; }
    // Writes (replaces) the file name inside the directory; returns its full path.
    std::string write_file(const std::string& name, std::string_view contents) const;
    // Reads a file inside the directory; empty when it does not exist.
    std::string read_file(const std::string& name) const;
    bool file_exists(const std::string& name) const;
    void remove_file(const std::string& name) const;
    // Makes a directory inside this one; returns its full path.
    std::string make_subdir(const std::string& name) const;

  private:
    std::string path_;
};

}  // namespace harness
