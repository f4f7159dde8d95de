// The stored-name rule (see stored_name.h).
#include "archive/stored_name.h"

#include <cstring>

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

}  // namespace

const char* stripped_name(const char* path) {
    for (size_t i = std::strlen(path); i > 1; --i) {
        if (is_separator(path[i - 1])) return path + i;
    }
    return path;
}

std::string stored_name(RecordKind kind, const char* name, const char* dir_part, int strip) {
    const char* shown = strip ? stripped_name(name) : name;
    if (kind == RecordKind::file && dir_part != nullptr) return std::string(dir_part) + "/" + shown;
    return shown;
}
