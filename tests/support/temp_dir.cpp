#include "temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

#include "common.h"

namespace harness {

using detail::fail;

TempDir::TempDir(const std::string& name_hint) {
    std::string pattern = "/tmp/" + name_hint + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) fail("mkdtemp " + pattern);
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::write_file(const std::string& name, std::string_view contents) const {
    std::string full = path_ + "/" + name;
    std::ofstream out(full, std::ios::binary | std::ios::trunc);
    out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
    out.close();
    if (!out) throw std::runtime_error("cannot write " + full);
    return full;
}

std::string TempDir::read_file(const std::string& name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool TempDir::file_exists(const std::string& name) const {
    struct stat info;
    return ::stat((path_ + "/" + name).c_str(), &info) == 0;
}

void TempDir::remove_file(const std::string& name) const {
    ::unlink((path_ + "/" + name).c_str());
}

std::string TempDir::make_subdir(const std::string& name) const {
    std::string full = path_ + "/" + name;
    if (::mkdir(full.c_str(), 0700) != 0 && errno != EEXIST) fail("mkdir " + full);
    return full;
}

}  // namespace harness
