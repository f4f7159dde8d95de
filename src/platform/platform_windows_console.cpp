// The platform's console and command-line services on Windows: keys from
// the console with _getch, characters to it with _putch, and both '-' and
// '/' as option prefixes.
#if defined(_WIN32)

#include <windows.h>

#include <conio.h>
#include <io.h>

#include "platform/platform.h"

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

bool is_option_prefix(char c) { return c == '-' || c == '/'; }

}  // namespace plat

#endif  // defined(_WIN32)
