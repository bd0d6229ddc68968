#include "program_file.h"

#include "win32.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <cstring>
#include <vector>

namespace {

constexpr char expectedName[] = "regexercise.exe";

class File {
  public:
    explicit File(const std::string &path)
        : handle_(CreateFileW(Wide(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)) {}
    ~File() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool IsOpen() const {
        return handle_ != INVALID_HANDLE_VALUE;
    }

    // Reads `size` bytes at the offset; false when the file holds fewer.
    bool Read(DWORD offset, void *into, DWORD size) const {
        DWORD read = 0;
        return SetFilePointer(handle_, static_cast<LONG>(offset), nullptr, FILE_BEGIN) == offset &&
               ReadFile(handle_, into, size, &read, nullptr) && read == size;
    }

  private:
    HANDLE handle_;
};

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%X", value);
    return text;
}

// Why the file is not a 32-bit x86 Windows program; empty when it is.
std::string WhyNot32BitProgram(const File &file) {
    char magic[2] = {};
    DWORD headerAt = 0;
    char signature[4] = {};
    WORD machine = 0;
    if (!file.Read(0, magic, sizeof magic) || std::memcmp(magic, "MZ", 2) != 0 ||
        !file.Read(0x3C, &headerAt, sizeof headerAt) ||
        !file.Read(headerAt, signature, sizeof signature) ||
        std::memcmp(signature, "PE\0\0", 4) != 0 ||
        !file.Read(headerAt + 4, &machine, sizeof machine)) {
        return "it is not a Windows program";
    }
    switch (machine) {
    case IMAGE_FILE_MACHINE_I386:
        return "";
    case IMAGE_FILE_MACHINE_AMD64:
        return "it is a 64-bit Windows program, and regexercise.exe is a 32-bit one";
    default:
        return "it is a Windows program for another processor (machine " + Hex(machine) + ")";
    }
}

// The name the program was built as, from its version resource.
std::string OriginalFileName(const std::string &path) {
    DWORD ignored = 0;
    const std::wstring widePath = Wide(path);
    const DWORD size = GetFileVersionInfoSizeW(widePath.c_str(), &ignored);
    std::vector<char> info(size);
    const WORD *translation = nullptr;
    UINT length = 0;
    if (size == 0 || !GetFileVersionInfoW(widePath.c_str(), 0, size, info.data()) ||
        !VerQueryValueW(info.data(), L"\\VarFileInfo\\Translation",
                        reinterpret_cast<void **>(const_cast<WORD **>(&translation)), &length) ||
        length < 2 * sizeof(WORD)) {
        return "";
    }
    wchar_t query[64];
    std::swprintf(query, sizeof query / sizeof query[0],
                  L"\\StringFileInfo\\%04x%04x\\OriginalFilename", translation[0], translation[1]);
    wchar_t *name = nullptr;
    if (!VerQueryValueW(info.data(), query, reinterpret_cast<void **>(&name), &length) ||
        length == 0) {
        return "";
    }
    return Utf8(name);
}

} // namespace

std::string WhyNotRegexercise(const std::string &path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        return SystemMessage(GetLastError());
    }
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        return "it is a folder, not a program";
    }
    const File file(path);
    if (!file.IsOpen()) {
        return SystemMessage(GetLastError());
    }
    const std::string notWindows32 = WhyNot32BitProgram(file);
    if (!notWindows32.empty()) {
        return notWindows32;
    }
    const std::string name = OriginalFileName(path);
    if (_stricmp(name.c_str(), expectedName) != 0) {
        return name.empty() ? std::string("it is a Windows program, but not regexercise.exe")
                            : "it is " + name + ", not regexercise.exe";
    }
    return "";
}
