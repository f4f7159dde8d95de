// Which stored names Windows would take for something other than a file
// below the target directory: drive, UNC and device prefixes, alternate
// data streams and the reserved device names; which it cannot spell at all;
// and how names compare without regard to case.
#if defined(_WIN32)

#include <windows.h>

#include <cctype>
#include <cstring>
#include <string>

#include "platform/platform.h"
#include "platform/platform_windows_internal.h"

namespace plat {

namespace {

using win::is_sep;

size_t skip_seps(const char* s, size_t at) {
    while (is_sep(s[at])) ++at;
    return at;
}

size_t skip_component(const char* s, size_t at) {
    while (s[at] != '\0' && !is_sep(s[at])) ++at;
    return at;
}

bool is_drive(const char* s) { return std::isalpha(static_cast<unsigned char>(s[0])) && s[1] == ':'; }

bool same_letters(const char* a, size_t len, const char* word) {
    if (strlen(word) != len) return false;
    for (size_t i = 0; i < len; ++i) {
        if (std::toupper(static_cast<unsigned char>(a[i])) != word[i]) return false;
    }
    return true;
}

// True when the name's base (up to its first dot, trailing spaces left
// out) is one the system opens as a device in every directory.
bool is_device_name(const char* comp, size_t len) {
    size_t base = 0;
    while (base < len && comp[base] != '.') ++base;
    while (base > 0 && comp[base - 1] == ' ') --base;
    static const char* const fixed[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
    for (const char* word : fixed) {
        if (same_letters(comp, base, word)) return true;
    }
    if (base == 4 && comp[3] >= '1' && comp[3] <= '9') {
        return same_letters(comp, 3, "COM") || same_letters(comp, 3, "LPT");
    }
    return false;
}

}  // namespace

// Windows file names compare without regard to letter case.
bool names_ignore_case() { return true; }

size_t name_char_len(const char* text, size_t left) {
    unsigned char lead = static_cast<unsigned char>(text[0]);
    size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    if (n == 1 || n > left) return 1;
    return ::MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, static_cast<int>(n), nullptr, 0) > 0 ? n : 1;
}

bool same_name_blind(const char* a, size_t a_len, const char* b, size_t b_len) {
    std::wstring wa, wb;
    if (!win::widen_piece(a, a_len, &wa) || !win::widen_piece(b, b_len, &wb)) {
        return a_len == b_len && memcmp(a, b, a_len) == 0;
    }
    return ::CompareStringOrdinal(wa.data(), static_cast<int>(wa.size()), wb.data(), static_cast<int>(wb.size()),
                                  TRUE) == CSTR_EQUAL;
}

bool name_spellable(const char* name) {
    std::wstring wide;
    return name != nullptr && win::widen(name, strlen(name), "/\\", &wide);
}

size_t foreign_root_len(const char* name) {
    if (name == nullptr) return 0;
    size_t at = 0;
    if (is_sep(name[0]) && is_sep(name[1])) {
        at = 2;
        if ((name[2] == '?' || name[2] == '.') && is_sep(name[3])) {
            // \\?\ and \\.\ name the system's objects; a drive may follow.
            at = skip_seps(name, 4);
            if (is_drive(name + at)) at = skip_seps(name, at + 2);
            return at;
        }
        // \\server\share
        at = skip_component(name, at);
        at = skip_component(name, skip_seps(name, at));
        return skip_seps(name, at);
    }
    if (is_drive(name)) return skip_seps(name, 2);
    return 0;
}

bool safe_component(const char* comp, size_t len, std::string* safe) {
    std::string name(comp, len);
    bool changed = false;
    // "name:stream" writes a stream of name; "C:" names a drive.
    for (char& c : name) {
        if (c == ':') {
            c = '_';
            changed = true;
        }
    }
    if (is_device_name(name.data(), name.size())) {
        name.insert(0, 1, '_');
        changed = true;
    }
    if (changed) *safe = name;
    return changed;
}

}  // namespace plat

#endif  // defined(_WIN32)
