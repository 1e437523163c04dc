#include "platform/authorization/AuthorizationRecordStore.h"

#include "platform/authorization/PrivilegedProcess.h"
#include "support/posix/PHWriteAll.h"

#include <cerrno>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sstream>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr const char *kMagic = "porthold-authorization 1";
constexpr off_t kMaximumRecordSize = 64 * 1024;
constexpr std::size_t kMaximumRights = 32;
constexpr std::size_t kMaximumValueLength = 4096;

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-';
}

bool parseDecimal(const std::string &text, std::int64_t maximum, std::int64_t *value) {
    if (text.empty() || text.size() > 19)
        return false;
    std::int64_t result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    if (result > maximum)
        return false;
    *value = result;
    return true;
}

template <std::size_t N> bool decodeFixed(const std::string &hex, std::array<unsigned char, N> *out) {
    std::string bytes;
    if (hex.size() != 2 * N || !hexDecoded(hex, &bytes))
        return false;
    std::memcpy(out->data(), bytes.data(), N);
    return true;
}

bool isPrivateRootItem(const struct stat &st) {
    return st.st_uid == 0 && (st.st_mode & 077) == 0;
}

} // namespace

bool isValidRightName(const std::string &name) {
    if (name.empty() || name.size() > 128)
        return false;
    for (char c : name)
        if (!isNameCharacter(c))
            return false;
    return true;
}

bool isValidAccountName(const std::string &name) {
    if (name.empty() || name.size() > 64 || name[0] == '-')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i)
        if (!isNameCharacter(name[i]) && !(name[i] == '$' && i + 1 == name.size() && i > 0))
            return false;
    return true;
}

bool constantTimeEqual(const unsigned char *a, const unsigned char *b, std::size_t length) {
    volatile unsigned char difference = 0;
    for (std::size_t i = 0; i < length; ++i)
        difference = difference | (a[i] ^ b[i]);
    return difference == 0;
}

std::string hexEncoded(const unsigned char *bytes, std::size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * length);
    for (std::size_t i = 0; i < length; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xf];
    }
    return text;
}

bool hexDecoded(const std::string &text, std::string *bytes) {
    if (text.size() % 2)
        return false;
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        return -1;
    };
    std::string result;
    result.reserve(text.size() / 2);
    for (std::size_t i = 0; i < text.size(); i += 2) {
        int high = nibble(text[i]), low = nibble(text[i + 1]);
        if (high < 0 || low < 0)
            return false;
        result += static_cast<char>(high << 4 | low);
    }
    *bytes = std::move(result);
    return true;
}

const char *describe(AuthorizationLookup lookup) {
    switch (lookup) {
    case AuthorizationLookup::Granted:
        return "granted";
    case AuthorizationLookup::Unreadable:
        return "the record store cannot be read";
    case AuthorizationLookup::Missing:
        return "no such authorization";
    case AuthorizationLookup::Forged:
        return "the secret does not match";
    case AuthorizationLookup::Expired:
        return "the authorization has expired";
    case AuthorizationLookup::OtherUser:
        return "the authorization belongs to another user";
    }
    return "refused";
}

bool AuthorizationRecord::grants(const AuthorizationItem &right) const {
    for (const AuthorizationItem &granted : rights)
        if (granted.name == right.name && (right.value.empty() || granted.value == right.value))
            return true;
    return false;
}

std::string AuthorizationRecord::serialized() const {
    std::ostringstream out;
    out << kMagic << '\n'
        << "identifier " << hexEncoded(identifier.data(), identifier.size()) << '\n'
        << "secret " << hexEncoded(secret.data(), secret.size()) << '\n'
        << "user " << user << '\n'
        << "administrator " << administrator << '\n'
        << "expires " << expires << '\n';
    for (const AuthorizationItem &right : rights) {
        out << "right " << right.name << ' '
            << (right.value.empty() ? std::string("-")
                                    : hexEncoded(reinterpret_cast<const unsigned char *>(right.value.data()),
                                                 right.value.size()))
            << '\n';
    }
    return out.str();
}

std::optional<AuthorizationRecord> AuthorizationRecord::parse(const std::string &text) {
    AuthorizationRecord record;
    std::istringstream in(text);
    std::string line;
    if (!std::getline(in, line) || line != kMagic)
        return std::nullopt;

    // The fixed fields come in a fixed order; anything else refuses the record.
    auto field = [&](const char *key, std::string *value) {
        if (!std::getline(in, line))
            return false;
        const std::size_t keyLength = std::strlen(key);
        if (line.size() <= keyLength + 1 || line.compare(0, keyLength, key) != 0 || line[keyLength] != ' ')
            return false;
        *value = line.substr(keyLength + 1);
        return true;
    };
    std::string value;
    std::int64_t number = 0;
    if (!field("identifier", &value) || !decodeFixed(value, &record.identifier))
        return std::nullopt;
    if (!field("secret", &value) || !decodeFixed(value, &record.secret))
        return std::nullopt;
    if (!field("user", &value) || !parseDecimal(value, 0xfffffffe, &number))
        return std::nullopt;
    record.user = static_cast<uid_t>(number);
    if (!field("administrator", &value) || !isValidAccountName(value))
        return std::nullopt;
    record.administrator = value;
    if (!field("expires", &value) || !parseDecimal(value, INT64_MAX / 2, &record.expires))
        return std::nullopt;

    while (std::getline(in, line)) {
        if (line.compare(0, 6, "right ") != 0 || record.rights.size() >= kMaximumRights)
            return std::nullopt;
        const std::size_t space = line.find(' ', 6);
        if (space == std::string::npos)
            return std::nullopt;
        AuthorizationItem right;
        right.name = line.substr(6, space - 6);
        const std::string encoded = line.substr(space + 1);
        if (!isValidRightName(right.name))
            return std::nullopt;
        if (encoded != "-" && (encoded.empty() || encoded.size() > 2 * kMaximumValueLength ||
                               !hexDecoded(encoded, &right.value)))
            return std::nullopt;
        record.rights.push_back(std::move(right));
    }
    if (!in.eof())
        return std::nullopt;
    return record;
}

AuthorizationRecordStore::~AuthorizationRecordStore() {
    if (m_folder >= 0)
        ::close(m_folder);
}

std::string AuthorizationRecordStore::fileName(const AuthorizationIdentifier &identifier) {
    return hexEncoded(identifier.data(), identifier.size());
}

bool AuthorizationRecordStore::open(const std::string &folder, bool create, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error)
            *error = "record store " + folder + ": " + why;
        return false;
    };
    if (folder.empty() || folder[0] != '/')
        return fail("not an absolute path");
    if (m_folder >= 0) {
        ::close(m_folder);
        m_folder = -1;
    }

    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0 && errno == ENOENT && create) {
        // Parents readable by all (as /run/porthold), the store itself root's
        // alone: set explicitly, since the mask and the group of a set-user-ID
        // start are the caller's.
        auto makeRoots = [](const std::string &path, mode_t mode) {
            if (::mkdir(path.c_str(), mode) != 0)
                return errno == EEXIST;
            const int made = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            const bool given = made >= 0 && ::fchown(made, 0, 0) == 0 && ::fchmod(made, mode) == 0;
            if (made >= 0)
                ::close(made);
            return given;
        };
        std::size_t slash = 0;
        while ((slash = folder.find('/', slash + 1)) != std::string::npos) {
            const std::string parent = folder.substr(0, slash);
            if (!makeRoots(parent, 0755))
                return fail(std::string("cannot create ") + parent + ": " + std::strerror(errno));
        }
        if (!makeRoots(folder, 0700))
            return fail(std::string("cannot create it: ") + std::strerror(errno));
        fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    }
    if (fd < 0)
        return fail(std::strerror(errno));
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISDIR(st.st_mode) || !isPrivateRootItem(st)) {
        ::close(fd);
        return fail("must be a folder owned by root that nobody else may use");
    }
    m_folder = fd;
    return true;
}

bool AuthorizationRecordStore::write(const AuthorizationRecord &record, std::string *error) {
    auto fail = [&](const std::string &why) {
        if (error)
            *error = why;
        return false;
    };
    if (m_folder < 0)
        return fail("record store not open");
    const std::string name = fileName(record.identifier);
    const std::string temporary = "." + name + ".new";
    int fd =
        ::openat(m_folder, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0)
        return fail(std::string("cannot create a record: ") + std::strerror(errno));
    const std::string text = record.serialized();
    const bool written = PHWriteAll(fd, text.data(), text.size()) && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || ::renameat(m_folder, temporary.c_str(), m_folder, name.c_str()) != 0) {
        const int saved = errno;
        ::unlinkat(m_folder, temporary.c_str(), 0);
        return fail(std::string("cannot write a record: ") + std::strerror(saved));
    }
    ::fsync(m_folder);
    return true;
}

std::optional<AuthorizationRecord>
AuthorizationRecordStore::read(const AuthorizationIdentifier &identifier) const {
    if (m_folder < 0)
        return std::nullopt;
    const std::string name = fileName(identifier);
    int fd = ::openat(m_folder, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return std::nullopt;
    struct stat st {};
    std::string text;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && isPrivateRootItem(st) &&
        st.st_size <= kMaximumRecordSize) {
        char buffer[4096];
        ssize_t n;
        while ((n = ::read(fd, buffer, sizeof buffer)) > 0 &&
               text.size() + static_cast<std::size_t>(n) <= static_cast<std::size_t>(kMaximumRecordSize))
            text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    std::optional<AuthorizationRecord> record = AuthorizationRecord::parse(text);
    // A record is only ever found under its own name.
    if (!record || record->identifier != identifier)
        return std::nullopt;
    return record;
}

bool AuthorizationRecordStore::remove(const AuthorizationIdentifier &identifier) {
    return m_folder >= 0 && ::unlinkat(m_folder, fileName(identifier).c_str(), 0) == 0;
}

void AuthorizationRecordStore::removeExpired(std::int64_t now) {
    if (m_folder < 0)
        return;
    int fd = ::dup(m_folder);
    if (fd < 0)
        return;
    DIR *folder = ::fdopendir(fd);
    if (!folder) {
        ::close(fd);
        return;
    }
    ::rewinddir(folder);
    while (const dirent *entry = ::readdir(folder)) {
        AuthorizationIdentifier identifier;
        if (!decodeFixed(entry->d_name, &identifier))
            continue;
        std::optional<AuthorizationRecord> record = read(identifier);
        if (!record || record->expires < now)
            ::unlinkat(m_folder, entry->d_name, 0);
    }
    ::closedir(folder);
}

AuthorizationLookup AuthorizationRecordStore::lookup(const AuthorizationExternalForm &form, uid_t caller,
                                                     std::int64_t now, AuthorizationRecord *found,
                                                     bool acceptExpired) const {
    if (m_folder < 0)
        return AuthorizationLookup::Unreadable;
    AuthorizationIdentifier identifier;
    std::memcpy(identifier.data(), form.bytes, identifier.size());
    std::optional<AuthorizationRecord> record = read(identifier);
    if (!record)
        return AuthorizationLookup::Missing;
    if (!constantTimeEqual(record->secret.data(), form.bytes + kAuthorizationIdentifierLength,
                           kAuthorizationSecretLength))
        return AuthorizationLookup::Forged;
    if (record->expires <= now && !acceptExpired)
        return AuthorizationLookup::Expired;
    if (record->user != caller)
        return AuthorizationLookup::OtherUser;
    if (found)
        *found = std::move(*record);
    return AuthorizationLookup::Granted;
}
