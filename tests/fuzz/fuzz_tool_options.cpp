// The set-user-ID tool's command line: arguments are the input split at NUL
// bytes. Every option the parser keeps must come from a "-key value" pair in
// which the key argument was not itself consumed as a value.

#include "tool/SentrelOptions.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    std::vector<std::string> arguments(1);
    for (std::size_t i = 0; i < size && arguments.size() < 64; ++i) {
        if (data[i] == 0)
            arguments.emplace_back();
        else
            arguments.back().push_back(static_cast<char>(data[i]));
    }
    const SentrelOptions options = parseSentrelOptions(arguments);

    // Walk again, marking which positions are keys; the last pair of each key wins.
    SentrelOptions expected;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        if (!arguments[i].empty() && arguments[i][0] == '-' && i + 1 < arguments.size()) {
            expected[arguments[i].substr(1)] = arguments[i + 1];
            ++i;
        }
    }
    if (options != expected)
        __builtin_trap();
    return 0;
}
