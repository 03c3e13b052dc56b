// The address file and the working directory on Windows: file_open_read, file_read,
// file_close, change_directory, file_missing, and programs_file_name (programs.txt beside
// veldrin.exe).
#include <cstring>

#include "internal.h"

namespace platform {

FileHandle file_open_read(const char* name) {
    // Without FILE_FLAG_BACKUP_SEMANTICS a directory does not open, so a directory in the
    // file's place fails like a missing file.
    HANDLE file = CreateFileA(name, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return NO_FILE;
    // A named pipe or a device in the file's place would hold the console in ReadFile until
    // something wrote to it: only a disk file is read.
    if (GetFileType(file) != FILE_TYPE_DISK) {
        CloseHandle(file);
        return NO_FILE;
    }
    return reinterpret_cast<FileHandle>(file);
}

long file_read(FileHandle file, void* buffer, std::size_t length) {
    std::size_t done = 0;
    while (done < length) {
        DWORD step = length - done > 0x10000000 ? 0x10000000 : static_cast<DWORD>(length - done);
        DWORD got = 0;
        if (!ReadFile(reinterpret_cast<HANDLE>(file), static_cast<char*>(buffer) + done, step, &got,
                      nullptr))
            return -1;
        if (got == 0) break;
        done += got;
    }
    return static_cast<long>(done);
}

void file_close(FileHandle file) {
    CloseHandle(reinterpret_cast<HANDLE>(file));
}

bool change_directory(const char* path) {
    return SetCurrentDirectoryA(path) != 0;
}

bool file_missing(const char* name) {
    if (GetFileAttributesA(name) != INVALID_FILE_ATTRIBUTES) return false;
    DWORD error = GetLastError();
    return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
}

bool programs_file_name(char* buffer, std::size_t capacity) {
    static const char NAME[] = "programs.txt";
    if (capacity > 0x10000) capacity = 0x10000;
    DWORD length = GetModuleFileNameA(nullptr, buffer, static_cast<DWORD>(capacity));
    if (length == 0 || length >= capacity) return false;  // none, or cut short
    std::size_t folder = length;
    while (folder > 0 && buffer[folder - 1] != '\\' && buffer[folder - 1] != '/') --folder;
    if (folder + sizeof NAME > capacity) return false;
    std::memcpy(buffer + folder, NAME, sizeof NAME);
    return true;
}

}  // namespace platform
