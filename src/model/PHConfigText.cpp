#include "model/PHConfigText.h"

#include <algorithm>

namespace PHConfigText {

std::vector<Line> lines(const QString &text) {
    std::vector<Line> result;
    forEachLine<QStringView, QString>(
        QStringView(text), [&](QStringView line, qsizetype rawStart, qsizetype rawEnd, int first, int last) {
            // Most lines are their own trimmed text: one string serves as both.
            QString raw = text.mid(rawStart, rawEnd - rawStart);
            const bool same = line.data() == text.constData() + rawStart && line.size() == raw.size();
            result.push_back(Line{same ? raw : line.toString(), std::move(raw), first, last});
            return true;
        });
    return result;
}

QStringList words(QStringView text) {
    QStringList result;
    // Room for the words of nearly every line at once (a directive and a few
    // values): one allocation, not one per growth.
    result.reserve(8);
    qsizetype i = 0;
    const qsizetype n = text.size();
    while (true) {
        while (i < n && isSpace(text.at(i)))
            ++i;
        if (i >= n)
            break;
        const QChar quote = text.at(i);
        if (quote == QLatin1Char('"') || quote == QLatin1Char('\'')) {
            ++i;
            // Taken whole up to the closing quote; built unit by unit only
            // from an escaped quote on.
            const qsizetype start = i;
            while (i < n && text.at(i) != quote &&
                   !(text.at(i) == QLatin1Char('\\') && i + 1 < n && text.at(i + 1) == quote))
                ++i;
            QString word = text.sliced(start, i - start).toString();
            while (i < n && text.at(i) != quote) {
                if (text.at(i) == QLatin1Char('\\') && i + 1 < n && text.at(i + 1) == quote)
                    ++i;
                word += text.at(i++);
            }
            if (i < n)
                ++i; // the closing quote; the next word may follow at once
            result.append(std::move(word));
        } else {
            const qsizetype start = i;
            while (i < n && !isSpace(text.at(i)))
                ++i;
            result.append(text.sliced(start, i - start).toString());
        }
    }
    return result;
}

QString lowerCase(QStringView word) {
    QString lowered(word.size(), Qt::Uninitialized);
    char16_t *out = reinterpret_cast<char16_t *>(lowered.data());
    const char16_t *in = word.utf16();
    for (qsizetype i = 0; i < word.size(); ++i) {
        char16_t unit = in[i];
        if (unit >= 0x80)
            return word.toString().toLower();
        if (unit >= u'A' && unit <= u'Z')
            unit += u'a' - u'A';
        out[i] = unit;
    }
    return lowered;
}

QString quotedWord(const QString &word) {
    if (word.contains(QLatin1Char('\n')) || word.contains(QLatin1Char('\r')))
        return {};
    const bool plain = !word.isEmpty() && !word.startsWith(QLatin1Char('"')) &&
                       !word.startsWith(QLatin1Char('\'')) &&
                       std::none_of(word.cbegin(), word.cend(), [](QChar c) { return isSpace(c); });
    if (plain)
        return word;
    // Inside double quotes only a backslash before a double quote is special.
    if (word.endsWith(QLatin1Char('\\')))
        return {};
    QString escaped = word;
    escaped.replace(QLatin1String("\""), QLatin1String("\\\""));
    return QLatin1Char('"') + escaped + QLatin1Char('"');
}

} // namespace PHConfigText
