// The platform's console and command-line services on Windows: keys from
// the console with _getch, characters to it with _putch, text to a console
// in UTF-16 and to a file or pipe in UTF-8, and both '-' and '/' as option
// prefixes.
#if defined(_WIN32)

#include <windows.h>

#include <conio.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

int _getch() {
    int key = ::_getch();
    // No console (or its end): nothing more can be typed.
    if (key < 0 || key == 0xFFFF) return -1;
    // A terminal's DEL erases like Backspace.
    if (key == 127) return 8;
    return key;
}

int _putch(int c) {
    if (::_putch(c) == EOF) {
        // No console: the character goes to standard error instead.
        unsigned char byte = static_cast<unsigned char>(c);
        ::_write(2, &byte, 1);
    }
    return c;
}

namespace {

// True when handle is a console's screen.
bool is_console(HANDLE h) {
    DWORD mode = 0;
    return h != INVALID_HANDLE_VALUE && ::GetFileType(h) == FILE_TYPE_CHAR && ::GetConsoleMode(h, &mode);
}

}  // namespace

size_t write_text(std::FILE* stream, const char* data, size_t len) {
    HANDLE h = reinterpret_cast<HANDLE>(::_get_osfhandle(::_fileno(stream)));
    bool utf8 = len == 0 || ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, static_cast<int>(len),
                                                  nullptr, 0) > 0;
    if (utf8 && !is_console(h)) return std::fwrite(data, 1, len, stream);
    // Names in a text are read as paths are: UTF-8, or the ANSI code page.
    std::wstring wide;
    if (!win::widen(data, len, " \t\r\n/\\", &wide)) return std::fwrite(data, 1, len, stream);
    if (!is_console(h)) {
        std::string text = win::narrow_replacing(wide.data(), wide.size());
        return std::fwrite(text.data(), 1, text.size(), stream) == text.size() ? len : 0;
    }
    // What the stream holds goes first; the console ends lines as text mode would.
    if (std::fflush(stream) != 0) return 0;
    std::wstring lines;
    for (wchar_t c : wide) {
        if (c == L'\n') lines += L'\r';
        lines += c;
    }
    size_t done = 0;
    while (done < lines.size()) {
        DWORD put = 0;
        DWORD want = static_cast<DWORD>(lines.size() - done > 8192 ? 8192 : lines.size() - done);
        if (!::WriteConsoleW(h, lines.data() + done, want, &put, nullptr) || put == 0) return 0;
        done += put;
    }
    return len;
}

bool is_option_prefix(char c) { return c == '-' || c == '/'; }

}  // namespace plat

#endif  // defined(_WIN32)
