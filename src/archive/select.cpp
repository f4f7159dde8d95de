// Choosing archive entries by name, component by component.
#include "archive/select.h"

#include <cstring>

#include "base/context.h"
#include "base/messages.h"
#include "platform/platform.h"

namespace {

bool is_separator(char c) { return c == '/' || c == '\\'; }

// Bytes of the character at text[at]: one byte where names compare
// exactly; where they ignore case, one character as the system reads it.
size_t char_len(const std::string& text, size_t at, bool ignore_case) {
    return ignore_case ? plat::name_char_len(text.data() + at, text.size() - at) : 1;
}

// True when the n bytes at a[ai] and the m bytes at b[bi] are the same
// character.
bool same_chars(const std::string& a, size_t ai, size_t n, const std::string& b, size_t bi, size_t m,
                bool ignore_case) {
    if (n == m && a.compare(ai, n, b, bi, m) == 0) return true;
    return ignore_case && plat::same_name_blind(a.data() + ai, n, b.data() + bi, m);
}

// Matches one component against one pattern component ('*' any run, '?'
// one character).  The last '*' met is the only one ever widened: any
// earlier one can match whatever the later one can.
bool component_matches(const std::string& pattern, const std::string& text, bool ignore_case) {
    size_t p = 0;
    size_t t = 0;
    size_t star = std::string::npos;  // pattern position after the last '*'
    size_t star_text = 0;             // text position that '*' was last tried at
    while (t < text.size()) {
        size_t t_len = char_len(text, t, ignore_case);
        size_t p_len = p < pattern.size() ? char_len(pattern, p, ignore_case) : 0;
        if (p < pattern.size() && pattern[p] == '*') {
            star = ++p;
            star_text = t;
        } else if (p < pattern.size() &&
                   (pattern[p] == '?' || same_chars(pattern, p, p_len, text, t, t_len, ignore_case))) {
            p += p_len;
            t += t_len;
        } else if (star != std::string::npos) {
            p = star;
            star_text += char_len(text, star_text, ignore_case);
            t = star_text;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

bool same_component(const std::string& a, const std::string& b, bool ignore_case) {
    if (a == b) return true;
    return ignore_case && plat::same_name_blind(a.data(), a.size(), b.data(), b.size());
}

// True when the argument's components lead the name's.
bool chooses(const NameParts& wanted, const NameParts& name, bool ignore_case) {
    if (wanted.size() > name.size()) return false;
    for (size_t i = 0; i < wanted.size(); ++i) {
        if (!component_matches(wanted[i], name[i], ignore_case)) return false;
    }
    return true;
}

// Where names ignore case, an argument is looked up by its ASCII letters
// folded, so only arguments of ASCII bytes alone are; and a name holding
// one of the few characters that the system's case-blind comparison may take
// for an ASCII letter (dotted and dotless i, long s, the Kelvin sign) is
// compared with each of them instead.
bool is_ascii(const std::string& text) {
    for (char c : text) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool may_match_ascii(const std::string& part) {
    static const char* const look_alikes[] = {"\xC4\xB0", "\xC4\xB1", "\xC5\xBF", "\xE2\x84\xAA"};
    for (const char* seq : look_alikes) {
        if (part.find(seq) != std::string::npos) return true;
    }
    return false;
}

// The lookup key of components: joined with '/', ASCII letters folded when
// case is ignored.
void add_key_part(std::string* key, const std::string& part, bool ignore_case) {
    if (!key->empty()) key->push_back('/');
    for (char c : part) *key += ignore_case && c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool has_pattern(const std::string& arg) { return arg.find_first_of("*?") != std::string::npos; }

void mark_exact(Selection* sel, ExactNames* names) {
    if (names->marked) return;
    names->marked = true;
    for (size_t i : names->args) sel->matched[i] = 1;
}

// Marks the arguments without a pattern that choose the name: those naming
// it or a directory it lies under.
bool choose_exact(Selection* sel, const NameParts& parts) {
    bool chosen = false;
    std::string key;
    for (const std::string& part : parts) {
        if (sel->ignore_case && may_match_ascii(part)) {
            for (auto& entry : sel->exact) {
                if (!chooses(sel->wanted[entry.second.args[0]], parts, true)) continue;
                chosen = true;
                mark_exact(sel, &entry.second);
            }
            return chosen;
        }
        add_key_part(&key, part, sel->ignore_case);
        auto it = sel->exact.find(key);
        if (it == sel->exact.end()) continue;
        chosen = true;
        mark_exact(sel, &it->second);
    }
    return chosen;
}

// Sorts the arguments into those looked up by name and those tried one by
// one, once, when the first name is chosen (ignore_case is settled then).
void index_arguments(Selection* sel) {
    sel->indexed = true;
    for (size_t i = 0; i < sel->wanted.size(); ++i) {
        const NameParts& parts = sel->wanted[i];
        if (parts.empty() || has_pattern(sel->typed[i]) || (sel->ignore_case && !is_ascii(sel->typed[i]))) {
            sel->patterned.push_back(i);
            continue;
        }
        std::string key;
        for (const std::string& part : parts) add_key_part(&key, part, sel->ignore_case);
        sel->exact[key].args.push_back(i);
    }
}

struct Exclusion {
    NameParts parts;
    bool whole;  // the pattern had a separator
};

std::vector<Exclusion> exclusions;

bool excluded_by(const Exclusion& ex, const NameParts& name, bool ignore_case) {
    if (ex.whole) return chooses(ex.parts, name, ignore_case);
    for (const std::string& part : name) {
        if (component_matches(ex.parts[0], part, ignore_case)) return true;
    }
    return false;
}

bool parts_excluded(const NameParts& name) {
    const bool ignore_case = plat::names_ignore_case();
    for (const Exclusion& ex : exclusions) {
        if (excluded_by(ex, name, ignore_case)) return true;
    }
    return false;
}

}  // namespace

NameParts name_parts(const char* name) {
    NameParts parts;
    const char* p = name;
    while (*p != '\0') {
        while (is_separator(*p)) ++p;
        const char* start = p;
        while (*p != '\0' && !is_separator(*p)) ++p;
        std::string part(start, static_cast<size_t>(p - start));
        if (!part.empty() && part != ".") parts.push_back(part);
    }
    return parts;
}

void selection_init(Selection* sel, int32_t count, char* const* args) {
    *sel = Selection();
    sel->ignore_case = plat::names_ignore_case();
    for (int32_t i = 0; i < count; ++i) {
        sel->typed.push_back(args[i]);
        sel->wanted.push_back(name_parts(args[i]));
        sel->matched.push_back(0);
    }
}

bool selection_active(const Selection* sel) { return sel != nullptr && !sel->typed.empty(); }

bool selection_filters(const Selection* sel) {
    return sel != nullptr && (!sel->typed.empty() || !exclusions.empty());
}

bool selection_choose(Selection* sel, const char* name) {
    if (!selection_filters(sel)) return true;
    NameParts parts = name_parts(name);
    if (parts_excluded(parts)) return false;
    if (!selection_active(sel)) return true;
    if (!sel->indexed) index_arguments(sel);
    bool chosen = choose_exact(sel, parts);
    for (size_t i : sel->patterned) {
        if (chooses(sel->wanted[i], parts, sel->ignore_case)) {
            sel->matched[i] = 1;
            chosen = true;
        }
    }
    return chosen;
}

void exclusions_set(int32_t count, const char* const* patterns) {
    exclusions.clear();
    for (int32_t i = 0; i < count; ++i) {
        Exclusion ex{name_parts(patterns[i]), std::strpbrk(patterns[i], "/\\") != nullptr};
        if (!ex.parts.empty()) exclusions.push_back(ex);
    }
}

bool name_excluded(const char* name) { return !exclusions.empty() && parts_excluded(name_parts(name)); }

bool lies_under(const NameParts& dir, const NameParts& name, bool ignore_case) {
    if (dir.size() >= name.size()) return false;
    for (size_t i = 0; i < dir.size(); ++i) {
        if (!same_component(dir[i], name[i], ignore_case)) return false;
    }
    return true;
}


bool same_name(const NameParts& a, const NameParts& b, bool ignore_case) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (!same_component(a[i], b[i], ignore_case)) return false;
    }
    return true;
}

int32_t selection_report(const Selection* sel) {
    int32_t rc = RC_OK;
    if (!selection_active(sel)) return rc;
    for (size_t i = 0; i < sel->typed.size(); ++i) {
        if (sel->matched[i]) continue;
        show_error(MSG_NOT_MATCHED, sel->typed[i].c_str());
        rc = RC_NOT_MATCHED;
    }
    return rc;
}
