#pragma once

// The names every front end must refuse (or accept), with a piece of the
// reason it must give. One table, so the sheet, the group outline and
// portholdctl cannot drift apart.

#include <string>
#include <vector>

namespace name_cases {

struct Case {
    std::string name;
    bool accepted;
    std::string reason; // a piece of the refusal, the same for users and groups
};

inline const std::vector<Case> &cases() {
    static const std::vector<Case> table{
        {"j.doe-1", true, ""},
        {"Mixed_Case+ok", true, ""},
        {"#hash", false, "begin with \"#\""},
        {"--check", false, "begin with \"-\""},
        {"-h", false, "begin with \"-\""},
        {"a\"b", false, "quotation marks"},
        {"'quoted", false, "apostrophes"},
        {"o'brien", false, "apostrophes"},
        {"back\\slash", false, "backslashes"},
        {"bo b", false, "spaces"},
        {"bo\tb", false, "spaces"},
        {"a:b", false, "printable ASCII"},
        {"jos\xc3\xa9", false, "printable ASCII"},
        {"bell\x07", false, "printable ASCII"},
    };
    return table;
}

} // namespace name_cases
