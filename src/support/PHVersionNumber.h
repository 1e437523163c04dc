#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

/// A product version such as "2.1.3", "1.0b2" or "3.0fc1" read into number and
/// divider tokens, and the order of two versions: pre-release stages ("d",
/// "a", "b", "dp", "dr", "fc", "r") come before the version, a further dotted
/// level after it.
class PHVersionNumber {
public:
    /// A new version, or none for an empty text. A text that does not parse
    /// (logged) still gives a version, one without tokens.
    static std::optional<PHVersionNumber> versionWithString(const QString &text);

    /// The dividers in order; a divider's value is its index ("." is 7).
    static const QStringList &dividers();

    /// The text the version was made from.
    QString stringValue() const { return m_versionString; }
    /// The tokens run together: numbers in decimal, dividers in lower case.
    QString description() const;
    qint32 numberOfTokens() const { return static_cast<qint32>(m_tokens.size()); }
    void resetCursor() { m_cursor = 0; }
    /// The value of the token at the cursor (0 past the end); advances the cursor.
    qint32 nextToken();
    /// -1 when this version is older than `other`, 0 equal, 1 newer. Reads both
    /// through their cursors and leaves the cursors where it stopped.
    qint32 compare(PHVersionNumber &other);

private:
    struct Token {
        bool isDivider = false;
        qint32 value = 0;
    };

    explicit PHVersionNumber(const QString &text);
    void parseString(const QString &text);
    qint32 compareEvenVersion(PHVersionNumber &other);
    qint32 compareLongerVersion(PHVersionNumber &other);
    qint32 compareShorterVersion(PHVersionNumber &other);

    qint32 m_cursor = 0;
    QList<Token> m_tokens;
    QString m_versionString;
};
