#include "support/posix/PHConfLineScanner.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <memory>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

// The beginning that decides the encoding, as the text reader reads it.
constexpr std::size_t kPiece = 65536;
// What is read at a time after it: small enough for the kernel's copy and
// the scan to meet in the processor's cache (measured: 64 KiB reads take
// about 5% less CPU over a 35 MB file than 256 KiB ones).
constexpr std::size_t kRead = kPiece;

// The character at `s` (`n` bytes available): its length, 0 when the bytes
// end inside a well-formed sequence, -1 when it is not well-formed UTF-8.
int decodeAt(const unsigned char *s, std::size_t n, char32_t *character) {
    const unsigned char lead = s[0];
    if (lead < 0x80) {
        *character = lead;
        return 1;
    }
    int length = 0;
    char32_t value = 0;
    unsigned char low = 0x80, high = 0xBF; // the second byte's range
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
        value = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        value = lead & 0x0F;
        if (lead == 0xE0)
            low = 0xA0; // no overlong forms
        else if (lead == 0xED)
            high = 0x9F; // no surrogates
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        value = lead & 0x07;
        if (lead == 0xF0)
            low = 0x90;
        else if (lead == 0xF4)
            high = 0x8F; // nothing past U+10FFFF
    } else {
        return -1;
    }
    for (int i = 1; i < length; ++i) {
        if (std::size_t(i) >= n)
            return 0;
        const unsigned char next = s[i];
        if (next < (i == 1 ? low : 0x80) || next > (i == 1 ? high : 0xBF))
            return -1;
        value = (value << 6) | (next & 0x3F);
    }
    *character = value;
    return length;
}

bool isValidUtf8(const unsigned char *s, std::size_t n) {
    std::size_t at = 0;
    while (at < n) {
        if (s[at] < 0x80) {
            ++at;
            continue;
        }
        char32_t character;
        const int length = decodeAt(s + at, n - at, &character);
        if (length <= 0)
            return false;
        at += std::size_t(length);
    }
    return true;
}

// How many bytes at the end of `text` begin a character the text does not
// finish (a decoder holds them back, and at the end of the file drops them).
std::size_t unfinishedTail(std::string_view text) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t back = 1; back <= 3 && back <= text.size(); ++back) {
        const std::size_t at = text.size() - back;
        if ((bytes[at] & 0xC0) == 0x80)
            continue; // a continuation byte: the lead is further back
        char32_t character;
        return bytes[at] >= 0xC0 && decodeAt(bytes + at, back, &character) == 0 ? back : 0;
    }
    return 0;
}

bool startsWithBytes(std::string_view text, const char *prefix) {
    return text.substr(0, std::strlen(prefix)) == prefix;
}

char lower(unsigned char c) {
    return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : char(c);
}

// Reads up to `wanted` bytes, retrying interrupted reads; -1 on failure.
ssize_t readSome(int fd, char *buffer, std::size_t wanted) {
    for (;;) {
        const ssize_t got = ::read(fd, buffer, wanted);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

struct Piece {
    std::size_t start;
    std::size_t length;
};

// The bytes classified at once when lines are passed over in bulk.
constexpr std::size_t kBlock = 64;

// A bit per byte of a block, the first byte in the lowest bit.
struct BlockBits {
    std::uint64_t newline = 0; // '\n'
    std::uint64_t blank = 0;   // the other ASCII spaces: ' ', '\t', '\v', '\f', '\r'
};

// The bits of a 64-bit word that are set.
int countBits(std::uint64_t bits) {
    // Spelled out: without the POPCNT instruction (not in the x86-64
    // baseline) std::popcount is a library call.
    bits -= (bits >> 1) & 0x5555555555555555u;
    bits = (bits & 0x3333333333333333u) + ((bits >> 2) & 0x3333333333333333u);
    bits = (bits + (bits >> 4)) & 0x0F0F0F0F0F0F0F0Fu;
    return int((bits * 0x0101010101010101u) >> 56);
}

#if defined(__SSE2__)
constexpr bool kCanClassify = true;

BlockBits classify(const unsigned char *block) {
    BlockBits bits;
#pragma GCC unroll 4
    for (std::size_t lane = 0; lane < kBlock / 16; ++lane) {
        const __m128i c = _mm_loadu_si128(reinterpret_cast<const __m128i *>(block + 16 * lane));
        const __m128i newline = _mm_cmpeq_epi8(c, _mm_set1_epi8('\n'));
        // '\t' to '\r' are 0 to 4 after subtracting '\t' (unsigned).
        const __m128i control = _mm_sub_epi8(c, _mm_set1_epi8('\t'));
        const __m128i blank = _mm_andnot_si128(
            newline, _mm_or_si128(_mm_cmpeq_epi8(c, _mm_set1_epi8(' ')),
                                  _mm_cmpeq_epi8(_mm_min_epu8(control, _mm_set1_epi8(4)), control)));
        const std::size_t shift = 16 * lane;
        bits.newline |= std::uint64_t(unsigned(_mm_movemask_epi8(newline))) << shift;
        bits.blank |= std::uint64_t(unsigned(_mm_movemask_epi8(blank))) << shift;
    }
    return bits;
}
#else
// Without SSE2 every line goes through the line-by-line loop.
constexpr bool kCanClassify = false;

BlockBits classify(const unsigned char *) {
    return {};
}
#endif

} // namespace

bool PHConfLineScanner::isSpace(char32_t c) {
    if (c < 0x80)
        return c == ' ' || (c >= '\t' && c <= '\r');
    switch (c) {
    case 0x85:
    case 0xA0:
    case 0x1680:
    case 0x2028:
    case 0x2029:
    case 0x202F:
    case 0x205F:
    case 0x3000:
        return true;
    default:
        return c >= 0x2000 && c <= 0x200A;
    }
}

char PHConfLineScanner::asciiFolding(char32_t c) {
    if (c < 0x80)
        return lower(static_cast<unsigned char>(c));
    if (c == 0x017F) // LATIN SMALL LETTER LONG S
        return 's';
    if (c == 0x212A) // KELVIN SIGN
        return 'k';
    return 0;
}

bool PHConfLineScanner::isAscii(std::string_view text) {
    for (const char c : text)
        if (static_cast<unsigned char>(c) >= 0x80)
            return false;
    return true;
}

PHConfLineScanner::PHConfLineScanner(std::vector<std::string> tokens, Settings settings,
                                     OtherMatch otherMatch)
    : m_tokens(std::move(tokens)), m_settings(settings), m_otherMatch(std::move(otherMatch)) {
    for (const std::string &token : m_tokens) {
        m_asciiToken.push_back(isAscii(token));
        std::vector<FoldedWord> &words = m_foldedTokens.emplace_back();
        for (std::size_t at = 0; m_asciiToken.back() && at < token.size(); at += 8) {
            unsigned char folded[8] = {}, letters[8] = {}, kept[8] = {};
            for (std::size_t i = 0; i < 8 && at + i < token.size(); ++i) {
                const auto c = static_cast<unsigned char>(lower(static_cast<unsigned char>(token[at + i])));
                folded[i] = c;
                letters[i] = c >= 'a' && c <= 'z' ? 0x20 : 0;
                kept[i] = 0xFF;
            }
            FoldedWord &word = words.emplace_back();
            word.at = at;
            std::memcpy(&word.folded, folded, 8);
            std::memcpy(&word.letters, letters, 8);
            std::memcpy(&word.kept, kept, 8);
        }
        if (token.empty())
            continue;
        if (!m_asciiToken.back()) {
            m_filter = false; // a token may begin with any character
            continue;
        }
        const auto first = static_cast<unsigned char>(token.front());
        m_asciiFirst[first] = true;
        m_asciiFirst[static_cast<unsigned char>(lower(first))] = true;
        if (first >= 'a' && first <= 'z')
            m_asciiFirst[first - 'a' + 'A'] = true;
    }
}

bool PHConfLineScanner::startsWithToken(std::string_view line, std::size_t index, bool caseSensitive) const {
    const std::string &token = m_tokens[index];
    if (!m_asciiToken[index])
        return m_otherMatch && m_otherMatch(line, index);
    if (caseSensitive)
        return line.substr(0, token.size()) == token;
    // Eight bytes at a time while they are ASCII: a letter of the token
    // matches its two cases (the byte with 0x20 set), anything else itself.
    // A byte past ASCII may be a character that folds to ASCII: the loop below.
    if (m_fast && line.size() >= token.size() + 8) {
        bool ascii = true;
        for (const FoldedWord &word : m_foldedTokens[index]) {
            std::uint64_t bytes;
            std::memcpy(&bytes, line.data() + word.at, sizeof bytes);
            bytes &= word.kept;
            if (bytes & 0x8080808080808080u) {
                ascii = false;
                break;
            }
            if ((bytes | word.letters) != word.folded)
                return false;
        }
        if (ascii)
            return true;
    }
    const auto *bytes = reinterpret_cast<const unsigned char *>(line.data());
    std::size_t at = 0;
    for (const char wanted : token) {
        if (at >= line.size())
            return false;
        char32_t character = bytes[at];
        int length = 1;
        if (character < 0x80) {
            if (lower(static_cast<unsigned char>(character)) != lower(static_cast<unsigned char>(wanted)))
                return false;
            ++at;
            continue;
        }
        if ((length = decodeAt(bytes + at, line.size() - at, &character)) <= 0)
            return false;
        const char folded = asciiFolding(character);
        if (folded == 0 || folded != lower(static_cast<unsigned char>(wanted)))
            return false;
        at += std::size_t(length);
    }
    return true;
}

std::size_t PHConfLineScanner::scanPiece(std::string_view text, bool atEnd, const Found &found) {
    std::size_t position = 0;
    std::int32_t number = m_settings.lineNumber->load(std::memory_order_relaxed);
    bool more = true;
    // The complete lines first, passed over in bulk where they cannot hold a token.
    if (bulkAllowed())
        if (const void *lastBreak = ::memrchr(text.data(), '\n', text.size()))
            more = passLines(text, std::size_t(static_cast<const char *>(lastBreak) - text.data()) + 1, atEnd,
                             position, number, found);
    while (more)
        more = scanLine(text, atEnd, position, number, found);
    m_settings.lineNumber->store(number, std::memory_order_release);
    return position;
}

bool PHConfLineScanner::bulkAllowed() const {
    // Block comments make every line matter: one may open in any of them.
    return kCanClassify && m_fast && m_filter && m_marker == 0 &&
           !(m_settings.commentType->load(std::memory_order_relaxed) & (SlashStarBlock | ParenStarBlock));
}

bool PHConfLineScanner::scanLine(std::string_view text, bool atEnd, std::size_t &position,
                                 std::int32_t &number, const Found &found) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    const std::size_t length = text.size();
    // Counted by the caller and published with a plain store (others only read it).
    const auto nextLine = [&] { m_settings.lineNumber->store(++number, std::memory_order_release); };
    // Blank lines are never handled; a line starts at its first non-blank character.
    while (position < length) {
        char32_t character = bytes[position];
        if (character == ' ' || (character >= '\t' && character <= '\r')) {
            ++position;
            continue;
        }
        int size = 1;
        if (character >= 0x80) {
            size = decodeAt(bytes + position, length - position, &character);
            if (size == 0 && !atEnd)
                return false; // the character ends in the next piece
        }
        if (size <= 0 || !isSpace(character))
            break;
        position += std::size_t(size);
    }
    if (position >= length) {
        position = length;
        return false;
    }
    const void *newline = std::memchr(bytes + position, '\n', length - position);
    std::size_t end = length;
    if (newline)
        end = std::size_t(static_cast<const unsigned char *>(newline) - bytes);
    else if (!atEnd)
        return false;
    // Without block comments, a line whose first character begins no
    // token cannot hold one, and its comments need not be looked at.
    const unsigned char first = bytes[position];
    if (m_filter && first < 0x80 && !m_asciiFirst[first] && m_marker == 0 &&
        !(m_settings.commentType->load() & (SlashStarBlock | ParenStarBlock))) {
        position = end + 1;
        nextLine();
        return true;
    }
    const std::string_view line = removeComments(text.substr(position, end - position), m_joined);
    if (!line.empty()) {
        const bool caseSensitive = m_settings.caseSensitive->load();
        const auto lineFirst = static_cast<unsigned char>(line.front());
        for (std::size_t token = 0; token < m_tokens.size(); ++token) {
            // An empty token never occurs; the others count only at the start of the line.
            if (m_tokens[token].empty())
                continue;
            // An ASCII character at the start folds only to itself: an ASCII
            // token that begins otherwise cannot match.
            if (m_fast && lineFirst < 0x80 && m_asciiToken[token] &&
                lower(lineFirst) != lower(static_cast<unsigned char>(m_tokens[token].front())))
                continue;
            if (startsWithToken(line, token, caseSensitive))
                found(token, line, number);
        }
    }
    position = end + 1;
    nextLine();
    return true;
}

// Passing lines over in bulk. Each 64 bytes are classified at once (a bit per
// byte), and the first character of every line is found with one addition:
// a line begins right after a line break and its blanks run on from there,
// so adding the "after a break" bits to the blank bits carries each of them
// across its run of blanks onto the line's first character. Lines whose first
// character can begin no token are only counted; the others, and those that
// begin with a character that is not ASCII (it may be a Unicode space), go
// through scanLine exactly as before.
bool PHConfLineScanner::passLines(std::string_view text, std::size_t limit, bool atEnd, std::size_t &position,
                                  std::int32_t &number, const Found &found) {
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    bool lead = true; // at a line's start or in the blanks before it
    while (position < limit) {
        // Another thread (or a report) may turn block comments on: from the
        // next line that begins here on, the line loop takes over.
        if (lead && !bulkAllowed())
            return true;
        // The last bytes are copied with line breaks after them, which add nothing.
        const std::size_t base = position;
        const std::size_t count = std::min<std::size_t>(limit - base, kBlock);
        unsigned char padded[kBlock];
        const unsigned char *block = bytes + base;
        if (count < kBlock) {
            std::memcpy(padded, block, count);
            std::memset(padded + count, '\n', kBlock - count);
            block = padded;
        }
        const BlockBits bits = classify(block);
        std::size_t offset = 0; // where in the block the scan stands
        for (;;) {
            const std::uint64_t live = ~std::uint64_t(0) << offset;
            const std::uint64_t after =
                ((bits.newline << 1) | (lead ? std::uint64_t(1) << offset : 0)) & live;
            const std::uint64_t sum = after + (bits.blank & live);
            const std::uint64_t firsts = sum & ~bits.blank & ~bits.newline & live;
            // A line whose first character may begin a token, or is not
            // ASCII, goes through scanLine; the others are only counted.
            int at = -1;
            for (std::uint64_t rest = firsts; rest != 0; rest &= rest - 1) {
                const int bit = std::countr_zero(rest);
                if (block[bit] >= 0x80 || m_asciiFirst[block[bit]]) {
                    at = bit;
                    break;
                }
            }
            if (at < 0) {
                number += countBits(firsts);
                lead = sum < after || (bits.newline >> (kBlock - 1)) != 0;
                position = base + count;
                break;
            }
            number += countBits(firsts & ((std::uint64_t(1) << at) - 1));
            position = base + std::size_t(at);
            m_settings.lineNumber->store(number, std::memory_order_release);
            if (!scanLine(text, atEnd, position, number, found))
                return false;
            lead = true;
            if (position >= base + count)
                break;
            if (!bulkAllowed())
                return true;
            offset = position - base;
        }
    }
    return true;
}

std::string_view PHConfLineScanner::removeComments(std::string_view line, std::string &joined) {
    const std::int32_t comments = m_settings.commentType->load();
    const std::int32_t quotes = m_settings.quoteType->load();
    auto quoteEnabled = [quotes](unsigned char c) {
        return (c == '\'' && (quotes & SingleQuote)) || (c == '"' && (quotes & DoubleQuote)) ||
               (c == '`' && (quotes & BackQuote));
    };

    // Quotes and escapes only decide whether a marker counts: a line outside a
    // block comment without the first character of any enabled marker keeps
    // everything. (Every marker is ASCII, and no byte of a longer UTF-8
    // character is.)
    if (m_marker == 0) {
        char markers[5];
        int count = 0;
        if (comments & HashComment)
            markers[count++] = '#';
        if (comments & DashSemicolon) {
            markers[count++] = ';';
            markers[count++] = '-';
        }
        if (comments & (SlashSlash | SlashStarBlock))
            markers[count++] = '/';
        if (comments & ParenStarBlock)
            markers[count++] = '(';
        bool anyMarker = false;
        for (int i = 0; i < count && !anyMarker; ++i)
            anyMarker = line.find(markers[i]) != std::string_view::npos;
        if (!anyMarker)
            return line;
    }

    Piece pieces[64];
    std::vector<Piece> morePieces; // a line with more block comments than that
    std::size_t pieceCount = 0;
    // A marker's first character may lie before the current piece (right after
    // a block comment closed): the text before it is then empty, never negative.
    auto record = [&](std::size_t start, std::ptrdiff_t size) {
        const Piece piece{start, size < 0 ? 0 : std::size_t(size)};
        if (pieceCount < std::size(pieces))
            pieces[pieceCount] = piece;
        else
            morePieces.push_back(piece);
        ++pieceCount;
    };
    auto pieceAt = [&](std::size_t i) -> const Piece & {
        return i < std::size(pieces) ? pieces[i] : morePieces[i - std::size(pieces)];
    };
    std::size_t s = 0;
    std::ptrdiff_t n = 0;
    bool done = false;
    bool escaped = false;
    unsigned char openQuote = 0;
    unsigned char p = 0;

    if (m_marker != 0)
        record(0, 0); // so a line that starts inside a block comment is rebuilt

    for (std::size_t i = 0; i < line.size() && !done; ++i) {
        const auto c = static_cast<unsigned char>(line[i]);
        if (m_marker != 0) {
            const unsigned char closer = m_marker == '/' ? '/' : ')';
            if (p == '*' && c == closer) {
                m_marker = 0;
                s = i + 1;
                n = 0;
                p = c;
                continue;
            }
        } else if (c == '\\') {
            escaped = !escaped;
        } else if (quoteEnabled(c)) {
            if (openQuote == 0)
                openQuote = c;
            else if (c == openQuote && !escaped)
                openQuote = 0;
        } else if (openQuote != 0 || escaped) {
            // ordinary text
        } else if ((c == '#' && (comments & HashComment)) || (c == ';' && (comments & DashSemicolon))) {
            record(s, n);
            done = true;
        } else if ((c == '-' && p == '-' && (comments & DashSemicolon)) ||
                   (c == '/' && p == '/' && (comments & SlashSlash))) {
            record(s, n - 1);
            done = true;
        } else if (c == '*' &&
                   ((p == '/' && (comments & SlashStarBlock)) || (p == '(' && (comments & ParenStarBlock)))) {
            m_marker = char(p);
            record(s, n - 1);
        }
        p = c;
        ++n;
    }

    if (pieceCount == 0)
        return line;
    if (!done && m_marker == 0)
        record(s, n);
    // Most lines keep a single piece (the text before a comment): no copy.
    std::size_t kept = 0;
    const Piece *only = nullptr;
    for (std::size_t i = 0; i < pieceCount; ++i) {
        if (pieceAt(i).length > 0) {
            ++kept;
            only = &pieceAt(i);
        }
    }
    if (kept == 0)
        return line.substr(0, 0);
    if (kept == 1)
        return line.substr(only->start, only->length);
    joined.clear(); // keeps its room for the next line
    for (std::size_t i = 0; i < pieceCount; ++i)
        joined += line.substr(pieceAt(i).start, pieceAt(i).length);
    return joined;
}

PHConfLineScanner::Outcome PHConfLineScanner::scanFile(const char *path, const Found &found) {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0)
        return Outcome::Unreadable;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); }
    } closer{fd};
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return Outcome::Unreadable;

    // The beginning decides the encoding; up to one piece of it.
    std::string buffer(kPiece, '\0');
    std::size_t filled = 0;
    bool atEnd = false;
    while (filled < kPiece) {
        const ssize_t got = readSome(fd, buffer.data() + filled, kPiece - filled);
        if (got < 0)
            return Outcome::Unreadable;
        if (got == 0) {
            atEnd = true;
            break;
        }
        filled += std::size_t(got);
    }
    buffer.resize(filled);
    const auto *bytes = reinterpret_cast<const unsigned char *>(buffer.data());
    std::size_t skip = 0;
    if (startsWithBytes(buffer, "\xEF\xBB\xBF")) {
        skip = 3;
        // A small file is decoded whole and strictly, a large one as it comes.
        if (atEnd && !isValidUtf8(bytes + 3, filled - 3))
            return Outcome::NotUtf8;
    } else if (startsWithBytes(buffer, "\xFF\xFE") || startsWithBytes(buffer, "\xFE\xFF")) {
        return Outcome::NotUtf8;
    } else {
        // The whole file when it is here, otherwise its complete lines, so a
        // character cut at the end of the piece does not count against it.
        std::size_t head = filled;
        if (!atEnd)
            if (const std::size_t lastBreak = buffer.rfind('\n');
                lastBreak != std::string::npos && lastBreak > 0)
                head = lastBreak + 1;
        // Zero bytes are valid UTF-8 but no text file holds them.
        if (std::memchr(bytes, '\0', head) || !isValidUtf8(bytes, head))
            return Outcome::NotUtf8;
    }
    // The decoder also passes over a byte order mark at the start of what it is given.
    if (skip == 3 && startsWithBytes(std::string_view(buffer).substr(3), "\xEF\xBB\xBF"))
        skip = 6;
    buffer.erase(0, skip);

    // From here the text lives in `storage`: the unfinished end of the last
    // piece, then the next piece read after it.
    std::size_t capacity = buffer.size() + kRead;
    auto storage = std::make_unique_for_overwrite<char[]>(capacity);
    std::memcpy(storage.get(), buffer.data(), buffer.size());
    std::size_t size = buffer.size();
    buffer = std::string();
    for (;;) {
        if (atEnd)
            size -= unfinishedTail(std::string_view(storage.get(), size));
        const std::size_t used = scanPiece(std::string_view(storage.get(), size), atEnd, found);
        if (atEnd)
            return Outcome::Scanned;
        std::memmove(storage.get(), storage.get() + used, size - used);
        size -= used;
        if (capacity - size < kRead) { // a line longer than a piece
            capacity = 2 * (size + kRead);
            auto larger = std::make_unique_for_overwrite<char[]>(capacity);
            std::memcpy(larger.get(), storage.get(), size);
            storage = std::move(larger);
        }
        const ssize_t got = readSome(fd, storage.get() + size, kRead);
        if (got < 0) {
            // What was read is still scanned, as the end of the text.
            size -= unfinishedTail(std::string_view(storage.get(), size));
            scanPiece(std::string_view(storage.get(), size), true, found);
            return Outcome::Unreadable;
        }
        size += std::size_t(got);
        atEnd = got == 0;
    }
}
