// The root helper's command line: arguments are the input split at NUL bytes.
// A request is accepted only as "OPERATION (-file|-data VALUE)*" with each key
// at most once, and then holds exactly those values; the caller's user number
// is accepted only as plain decimal digits.

#include "tool/SentrelRequest.h"

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
    const std::optional<SentrelRequest> request = parseSentrelRequest(arguments);

    // The same walk, written the other way round.
    bool acceptable = (arguments.size() % 2) == 1;
    SentrelRequest expected{arguments[0], std::nullopt, std::nullopt};
    for (std::size_t i = 1; acceptable && i + 1 < arguments.size(); i += 2) {
        if (arguments[i] == "-file" && !expected.file)
            expected.file = arguments[i + 1];
        else if (arguments[i] == "-data" && !expected.data)
            expected.data = arguments[i + 1];
        else
            acceptable = false;
    }
    if (request.has_value() != acceptable || (request && *request != expected))
        __builtin_trap();

    const std::optional<uid_t> caller = sentrelCallerOf(arguments[0].c_str());
    if (caller &&
        (arguments[0].empty() || arguments[0].find_first_not_of("0123456789") != std::string::npos ||
         std::to_string(*caller) !=
             arguments[0].substr(std::min(arguments[0].find_first_not_of('0'), arguments[0].size() - 1))))
        __builtin_trap();
    return 0;
}
