#pragma once

// Plain C++: the configuration scanner's line loop over the bytes of a UTF-8
// file. The panel's tokenizer runs it for every configuration file that is
// UTF-8 (plain ASCII included) and decodes only the lines it reports; any
// other encoding is decoded first and scanned as text.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

class PHConfLineScanner {
public:
    /// Comment forms (bits of the comment type), as the tokenizer names them.
    enum CommentType : std::int32_t {
        HashComment = 0x0001,    // "#"
        DashSemicolon = 0x0002,  // "--" and ";"
        SlashSlash = 0x0004,     // "//"
        SlashStarBlock = 0x1000, // "/* ... */"
        ParenStarBlock = 0x2000, // "(* ... *)"
    };
    /// Quote characters (bits of the quote type).
    enum QuoteType : std::int32_t { SingleQuote = 1, DoubleQuote = 2, BackQuote = 4 };

    /// Where the scan reads its options before each line (another thread may
    /// change them during a scan) and counts its lines.
    struct Settings {
        const std::atomic<std::int32_t> *commentType;
        const std::atomic<std::int32_t> *quoteType;
        const std::atomic<bool> *caseSensitive;
        std::atomic<std::int32_t> *lineNumber;
    };

    enum class Outcome {
        Scanned,   ///< the file was scanned to its end
        NotUtf8,   ///< nothing scanned: the file is not taken as UTF-8
        Unreadable ///< the file could not be opened or read (lines found before are reported)
    };

    /// A token, its index in the list given, the line without its comments
    /// (UTF-8 bytes, valid only during the call) and the line's number.
    using Found = std::function<void(std::size_t token, std::string_view line, std::int32_t lineNumber)>;

    /// Whether a line of the text may hold the token at `index`, for a token
    /// that is not plain ASCII (the scan compares those it can in bytes).
    using OtherMatch = std::function<bool(std::string_view line, std::size_t index)>;

    PHConfLineScanner(std::vector<std::string> tokens, Settings settings, OtherMatch otherMatch = {});

    /// Whitespace as the tokenizer skips it before a line (Unicode's spaces).
    static bool isSpace(char32_t character);
    /// The ASCII letter or character a character folds to ignoring case, or 0.
    static char asciiFolding(char32_t character);
    static bool isAscii(std::string_view text);

    /// Scans the file at `path` from its beginning. The file is taken as
    /// UTF-8 as the text reader would take it: a UTF-8 byte order mark, or a
    /// beginning (the whole file when it is small, otherwise the complete
    /// lines of its first 64 KiB) that is valid UTF-8 without zero bytes.
    Outcome scanFile(const char *path, const Found &found);

    /// Scans one piece of UTF-8 text; unless `atEnd`, a last line without its
    /// line break is left for the next piece. Returns how many bytes were
    /// used. Lines are counted from the settings' line number on.
    std::size_t scanPiece(std::string_view text, bool atEnd, const Found &found);

    /// On by default: lines whose first character can begin no token are
    /// passed over many at a time, and tokens compared eight bytes at a time.
    /// Off, every line goes through the line loop and every token is compared
    /// character by character; the results are the same (the tests compare them).
    void setFastPaths(bool on) { m_fast = on; }

    /// The block comment open at the end of the last line: '/', '(' or 0.
    char commentMarker() const { return m_marker; }
    void setCommentMarker(char marker) { m_marker = marker; }

    /// The line without its comments, carrying the block-comment state from
    /// the previous line: a view into `line`, or into `joined` when the kept
    /// text is in several pieces.
    std::string_view removeComments(std::string_view line, std::string &joined);

private:
    bool bulkAllowed() const;
    /// One line from `position` (the blanks before it first): reported when
    /// it begins with a token, `position` moved past it and `number` counted.
    /// False when the piece ends first; `position` is then what it used.
    bool scanLine(std::string_view text, bool atEnd, std::size_t &position, std::int32_t &number,
                  const Found &found);
    /// The complete lines before `limit` (which follows a line break), as
    /// scanLine would go through them; true when the line loop is to go on
    /// from `position`.
    bool passLines(std::string_view text, std::size_t limit, bool atEnd, std::size_t &position,
                   std::int32_t &number, const Found &found);
    bool startsWithToken(std::string_view line, std::size_t index, bool caseSensitive) const;

    std::vector<std::string> m_tokens;
    Settings m_settings;
    OtherMatch m_otherMatch;
    std::vector<bool> m_asciiToken; ///< per token: compared in bytes
    /// Eight bytes of an ASCII token from `at`, lower case; `letters` has
    /// 0x20 where it has a letter, `kept` 0xFF where it has a byte at all.
    struct FoldedWord {
        std::size_t at;
        std::uint64_t folded, letters, kept;
    };
    std::vector<std::vector<FoldedWord>> m_foldedTokens; ///< per token
    bool m_filter = true;        ///< lines may be passed over by their first character
    bool m_asciiFirst[128] = {}; ///< the characters a token may begin with
    bool m_fast = true;
    char m_marker = 0;
    std::string m_joined;
};
