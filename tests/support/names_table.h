// File names in many scripts, the same table for the platform tests and the
// whole-program tests: Latin with accents, Greek, Cyrillic, CJK, emoji
// (outside the Basic Multilingual Plane), mixed, and one long name.  UTF-8.
#pragma once

#include <string>
#include <vector>

namespace names_table {

inline std::vector<std::string> names() {
    return {
        "\xC3\x9C" "bersicht-" "\xE6\x97\xA5\xE6\x9C\xAC.txt",  // Übersicht-日本.txt
        "caf\xC3\xA9 cr\xC3\xA8me.txt",                           // café crème.txt
        "\xCE\xB5\xCE\xBB\xCE\xBB\xCE\xB7\xCE\xBD\xCE\xB9\xCE\xBA\xCE\xAC",  // ελληνικά
        "\xD0\xA0\xD1\x83\xD1\x81\xD1\x81\xD0\xBA\xD0\xB8\xD0\xB9.doc",      // Русский.doc
        "\xE4\xB8\xAD\xE6\x96\x87\xE6\x96\x87\xE4\xBB\xB6",                  // 中文文件
        "\xF0\x9F\x98\x80 \xF0\x9F\x8E\x89.bin",                             // 😀 🎉.bin
        // 190 characters, 240 bytes: with its directory as long as a stored
        // name may be (255 bytes).
        std::string(90, 'a') + [] {
            std::string s;
            for (int i = 0; i < 50; ++i) s += "\xC3\xA4" "b";  // äb
            return s;
        }(),
    };
}

}  // namespace names_table
