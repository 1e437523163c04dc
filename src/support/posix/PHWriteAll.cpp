#include "support/posix/PHWriteAll.h"

#include <cerrno>

#include <sys/socket.h>
#include <unistd.h>

namespace {

template <typename Write> bool transferAll(Write write, const void *buffer, std::size_t length, int *error) {
    const char *cursor = static_cast<const char *>(buffer);
    while (length > 0) {
        const ssize_t n = write(cursor, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            if (error)
                *error = errno;
            return false;
        }
        cursor += n;
        length -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool PHWriteAll(int fd, const void *buffer, std::size_t length, int *error) {
    return transferAll([fd](const char *bytes, std::size_t count) { return ::write(fd, bytes, count); },
                       buffer, length, error);
}

bool PHSendAll(int socket, const void *buffer, std::size_t length, int *error) {
    return transferAll(
        [socket](const char *bytes, std::size_t count) { return ::send(socket, bytes, count, MSG_NOSIGNAL); },
        buffer, length, error);
}
