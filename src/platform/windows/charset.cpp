// Character sets on Windows: output_wants_utf8, system_code_page, output_shows_code_page,
// code_page_characters and environment_value.
//
// A console shows the bytes written to it in its output code page. When that is the server's,
// the server's text goes out as it is; when it is another (chcp 65001, another region's code
// page), the text is converted to UTF-8 as on POSIX and the output writes it as UTF-16
// (output.cpp). Output that is not a console (a file, a pipe) gets the server's bytes.
#include <cstdlib>

#include "internal.h"

namespace platform {

namespace windows {

bool console_converts = false;

}  // namespace windows

namespace {

bool one_byte_code_page(UINT code_page) {
    CPINFO info;
    return GetCPInfo(code_page, &info) && info.MaxCharSize == 1;
}

}  // namespace

unsigned system_code_page() {
    // The OEM code page is the one a console starts with; where it is not one byte a
    // character (65001 with "UTF-8 for worldwide language support") the default is taken.
    UINT oem = GetOEMCP();
    return one_byte_code_page(oem) ? oem : 0;
}

bool output_shows_code_page(unsigned code_page) {
    // A code page that Windows lacks, or that is not one byte a character, is shown nowhere:
    // the console then asks for its characters, and refuses it at start-up whatever the output.
    if (code_page > 0xFFFF || !one_byte_code_page(code_page)) return false;
    DWORD mode = 0;
    windows::console_converts =
        GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) && GetConsoleOutputCP() != code_page;
    return !windows::console_converts;
}

bool output_wants_utf8() {
    return windows::console_converts;
}

bool code_page_characters(unsigned code_page, CodePageCharacter* characters) {
    CPINFO info;
    if (code_page > 0xFFFF || !IsValidCodePage(code_page) || !GetCPInfo(code_page, &info))
        return false;
    for (int byte = 0; byte < CODE_PAGE_BYTES; ++byte) {
        CodePageCharacter& character = characters[byte];
        character = {CodePageByte::NO_CHARACTER, 0, {}};
        // A code page of several bytes a character: every byte past ASCII starts one (UTF-8's
        // do, or are never a character alone), which is all the console needs to refuse it.
        if (info.MaxCharSize != 1 && (byte >= 128 || IsDBCSLeadByteEx(code_page, byte))) {
            character.kind = CodePageByte::LEAD_BYTE;
            continue;
        }
        const char in = static_cast<char>(byte);
        wchar_t wide[2];
        int count = MultiByteToWideChar(code_page, MB_ERR_INVALID_CHARS, &in, 1, wide, 2);
        if (count <= 0) continue;
        int length = WideCharToMultiByte(CP_UTF8, 0, wide, count, character.text,
                                         sizeof character.text, nullptr, nullptr);
        if (length <= 0) continue;
        character.kind = CodePageByte::CHARACTER;
        character.length = static_cast<std::uint8_t>(length);
    }
    return true;
}

const char* environment_value(const char* name) {
    return std::getenv(name);
}

}  // namespace platform
