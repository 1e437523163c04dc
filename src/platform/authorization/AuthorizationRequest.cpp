#include "platform/authorization/AuthorizationRequest.h"

#include "platform/authorization/AuthorizationRecordStore.h"

#include <cstring>
#include <vector>

std::optional<AuthorizationCreationRequest> parseAuthorizationCreationRequest(const char *input,
                                                                              std::size_t length) {
    if (!input || length == 0 || length > kAuthorizationRequestMaximumLength || input[length - 1] != '\0')
        return std::nullopt;
    // The last byte is a NUL, so every field below ends inside the input.
    std::vector<std::size_t> starts;
    for (std::size_t start = 0; start < length; start += std::strlen(input + start) + 1) {
        if (starts.size() == 2 + 2 * kAuthorizationRequestMaximumRights)
            return std::nullopt;
        starts.push_back(start);
    }
    if (starts.size() < 4 || starts.size() % 2 != 0 ||
        std::strlen(input + starts[1]) > kAuthorizationRequestMaximumPassword)
        return std::nullopt;

    AuthorizationCreationRequest request;
    request.name = input + starts[0];
    request.passwordOffset = starts[1];
    if (!isValidAccountName(request.name))
        return std::nullopt;
    for (std::size_t i = 2; i < starts.size(); i += 2) {
        AuthorizationItem right{input + starts[i], input + starts[i + 1], 0};
        if (!isValidRightName(right.name) || right.value.size() > kAuthorizationRequestMaximumValue)
            return std::nullopt;
        request.rights.push_back(std::move(right));
    }
    return request;
}
