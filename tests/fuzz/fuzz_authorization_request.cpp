// What the root helper reads from others: the request of "create" on its
// standard input, and a record file. A request that is accepted must be
// exactly the fields it was made of; a record that is accepted must survive
// being written and read again.

#include "platform/authorization/AuthorizationRecordStore.h"
#include "platform/authorization/AuthorizationRequest.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
    const char *input = reinterpret_cast<const char *>(data);
    if (const auto request = parseAuthorizationCreationRequest(input, size)) {
        if (request->rights.empty() || request->rights.size() > kAuthorizationRequestMaximumRights ||
            request->passwordOffset >= size)
            __builtin_trap();
        std::string rebuilt = request->name + '\0' + std::string(input + request->passwordOffset) + '\0';
        for (const AuthorizationItem &right : request->rights)
            rebuilt += right.name + '\0' + right.value + '\0';
        if (rebuilt != std::string(input, size))
            __builtin_trap();
    }

    const std::string text(input, size);
    if (const auto record = AuthorizationRecord::parse(text)) {
        const auto again = AuthorizationRecord::parse(record->serialized());
        if (!again || again->identifier != record->identifier || again->secret != record->secret ||
            again->user != record->user || again->administrator != record->administrator ||
            again->expires != record->expires || again->rights != record->rights)
            __builtin_trap();
    }
    return 0;
}
