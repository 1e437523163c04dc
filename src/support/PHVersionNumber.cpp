#include "support/PHVersionNumber.h"

#include "core/Log.h"

#include <climits>

namespace {

// The index of "." among the dividers: a token of this value after a shared
// prefix makes the longer version the newer one.
constexpr qint32 kDotValue = 7;

bool isSkipped(QChar c) {
    switch (c.unicode()) {
    case u' ':
    case u'\t':
    case u'\n':
    case u'\r':
    case u'\v':
    case u'\f':
    case 0x0085:
    case 0x2028:
    case 0x2029:
        return true;
    default:
        return false;
    }
}

bool isDigit(QChar c) {
    return c >= u'0' && c <= u'9';
}

/// Reads an optionally signed decimal integer at `position`, saturating at the
/// 32-bit limits. Leaves `position` alone and answers false when there is none.
bool scanInteger(const QString &text, qsizetype &position, qint32 *value) {
    qsizetype cursor = position;
    bool negative = false;
    if (cursor < text.size() && (text.at(cursor) == u'+' || text.at(cursor) == u'-')) {
        negative = text.at(cursor) == u'-';
        ++cursor;
    }
    if (cursor >= text.size() || !isDigit(text.at(cursor)))
        return false;
    qint64 magnitude = 0;
    for (; cursor < text.size() && isDigit(text.at(cursor)); ++cursor) {
        magnitude = magnitude * 10 + (text.at(cursor).unicode() - u'0');
        if (magnitude > qint64(INT_MAX) + 1)
            magnitude = qint64(INT_MAX) + 1;
    }
    if (negative)
        *value = static_cast<qint32>(-magnitude);
    else
        *value = static_cast<qint32>(std::min<qint64>(magnitude, INT_MAX));
    position = cursor;
    return true;
}

} // namespace

const QStringList &PHVersionNumber::dividers() {
    static const QStringList list{"d", "a", "b", "dp", "dr", "fc", "r", "."};
    return list;
}

std::optional<PHVersionNumber> PHVersionNumber::versionWithString(const QString &text) {
    if (text.isEmpty())
        return std::nullopt;
    return PHVersionNumber(text);
}

PHVersionNumber::PHVersionNumber(const QString &text) : m_versionString(text) {
    parseString(text);
}

void PHVersionNumber::parseString(const QString &text) {
    qsizetype position = 0;
    auto skipBlanks = [&] {
        while (position < text.size() && isSkipped(text.at(position)))
            ++position;
    };
    for (skipBlanks(); position < text.size(); skipBlanks()) {
        qint32 number = 0;
        if (scanInteger(text, position, &number)) {
            if (number < 0) {
                Log::write(QStringLiteral("Invalid value '%1' in version string").arg(number));
                m_tokens.clear();
                return;
            }
            m_tokens.append(Token{false, number});
            continue;
        }
        if (m_tokens.isEmpty())
            m_tokens.append(Token{false, 0});
        const qsizetype start = position;
        while (position < text.size() && !isDigit(text.at(position)))
            ++position;
        qsizetype end = position;
        // Blanks that run to the end of the text end the version; they are not
        // part of a divider.
        if (end == text.size())
            while (end > start && isSkipped(text.at(end - 1)))
                --end;
        const QString run = text.mid(start, end - start).toLower();
        const qsizetype divider = dividers().indexOf(run);
        if (divider < 0) {
            Log::write(QStringLiteral("Invalid characters '%1' in version string").arg(run));
            m_tokens.clear();
            return;
        }
        m_tokens.append(Token{true, static_cast<qint32>(divider)});
    }
}

QString PHVersionNumber::description() const {
    QString text;
    for (const Token &token : m_tokens)
        text += token.isDivider ? dividers().at(token.value) : QString::number(token.value);
    return text;
}

qint32 PHVersionNumber::nextToken() {
    const qint32 index = m_cursor++;
    return index >= 0 && index < m_tokens.size() ? m_tokens.at(index).value : 0;
}

qint32 PHVersionNumber::compare(PHVersionNumber &other) {
    if (numberOfTokens() == other.numberOfTokens())
        return compareEvenVersion(other);
    if (numberOfTokens() > other.numberOfTokens())
        return compareLongerVersion(other);
    return compareShorterVersion(other);
}

qint32 PHVersionNumber::compareEvenVersion(PHVersionNumber &other) {
    for (qint32 i = 0; i < other.numberOfTokens(); ++i) {
        const qint32 mine = nextToken(), theirs = other.nextToken();
        if (mine != theirs)
            return mine > theirs ? 1 : -1;
    }
    return 0;
}

qint32 PHVersionNumber::compareLongerVersion(PHVersionNumber &other) {
    if (const qint32 shared = compareEvenVersion(other); shared != 0)
        return shared;
    return nextToken() == kDotValue ? 1 : -1;
}

qint32 PHVersionNumber::compareShorterVersion(PHVersionNumber &other) {
    return -other.compareLongerVersion(*this);
}
