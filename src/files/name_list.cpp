// Reading and splitting lists of file arguments.
#include "files/name_list.h"

#include "base/context.h"
#include "base/messages.h"
#include "platform/platform.h"

void split_name_list(const std::string& bytes, std::vector<std::string>* names) {
    size_t start = 0;
    while (start < bytes.size()) {
        size_t end = bytes.find_first_of(std::string("\n\0", 2), start);
        if (end == std::string::npos) end = bytes.size();
        size_t len = end - start;
        // A list written on Windows ends its lines with "\r\n".
        if (end < bytes.size() && bytes[end] == '\n' && len > 0 && bytes[end - 1] == '\r') --len;
        if (len > 0) names->push_back(bytes.substr(start, len));
        start = end + 1;
    }
}

int32_t read_name_list(const char* path, bool quiet, std::vector<std::string>* names) {
    int fd = plat::open_name_list(path);
    std::string bytes;
    long got = fd < 0 ? -1 : 0;
    while (fd >= 0) {
        char block[16384];
        got = plat::_read(fd, block, sizeof block);
        if (got <= 0) break;
        bytes.append(block, static_cast<size_t>(got));
    }
    if (fd >= 0) plat::_close(fd);
    if (got < 0) {
        if (!quiet) show_error(MSG_FILE_LIST_UNREADABLE, path);
        return RC_EXPAND;
    }
    split_name_list(bytes, names);
    return RC_OK;
}
