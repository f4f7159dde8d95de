// The stored names of the running store, by the path unpacking makes of
// them.
#include "entries/stored_twice.h"

#include <cctype>
#include <string>
#include <unordered_set>

#include "base/context.h"
#include "base/messages.h"
#include "entries/restore.h"
#include "entries/store.h"
#include "platform/platform.h"

namespace {

// One process stores at most once.
std::unordered_set<std::string> stored_paths;

}  // namespace

void note_stored_name(const char* stored, const char* source) {
    char out[plat::PATH_CAP];
    char resolved[plat::PATH_CAP];
    bool climbed = false;
    if (!resolve_output_path("", stored, out, sizeof out, resolved, &climbed)) return;
    std::string key = resolved;
    // The target directory itself ("." stored): nothing is made for it.
    if (key.empty()) return;
    if (plat::names_ignore_case()) {
        for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    // In its place among what storing has queued.
    if (!stored_paths.insert(key).second && store_before_message()) show_error(MSG_STORED_TWICE, stored, source);
}
