#include "ctl/PHUnifiedDiff.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace {

constexpr qsizetype kContext = 3;
// Beyond this many differing lines the middle is shown as removed and added
// whole: finding the shortest edit costs time and memory with the square of it.
constexpr qsizetype kMaxEdits = 1000;

/// The lines of a text, and whether the last one ends without a line feed.
struct Lines {
    QStringList lines;
    bool missingFinalNewline = false;
};

Lines split(const std::optional<QString> &text) {
    Lines result;
    if (!text || text->isEmpty())
        return result;
    result.lines = text->split(QLatin1Char('\n'));
    if (result.lines.last().isEmpty())
        result.lines.removeLast();
    else
        result.missingFinalNewline = true;
    return result;
}

enum class Op { Same, Removed, Added };

struct Edit {
    Op op;
    qsizetype oldLine; // index in the old lines (Same, Removed)
    qsizetype newLine; // index in the new lines (Same, Added)
};

/// The shortest edit from a[aBegin, aEnd) to b[bBegin, bEnd) (Myers), or
/// none when it needs more than kMaxEdits steps.
std::optional<std::vector<Edit>> shortestEdit(const QStringList &a, qsizetype aBegin, qsizetype aEnd,
                                              const QStringList &b, qsizetype bBegin, qsizetype bEnd) {
    const qsizetype n = aEnd - aBegin;
    const qsizetype m = bEnd - bBegin;
    const qsizetype max = std::min(n + m, kMaxEdits);
    const qsizetype offset = max + 1;
    std::vector<qsizetype> v(static_cast<size_t>(2 * max + 3), 0);
    std::vector<std::vector<qsizetype>> trace;
    for (qsizetype d = 0; d <= max; ++d) {
        trace.push_back(v);
        for (qsizetype k = -d; k <= d; k += 2) {
            qsizetype x;
            if (k == -d || (k != d && v[size_t(offset + k - 1)] < v[size_t(offset + k + 1)]))
                x = v[size_t(offset + k + 1)];
            else
                x = v[size_t(offset + k - 1)] + 1;
            qsizetype y = x - k;
            while (x < n && y < m && a.at(aBegin + x) == b.at(bBegin + y)) {
                ++x;
                ++y;
            }
            v[size_t(offset + k)] = x;
            if (x < n || y < m)
                continue;
            // Walk back through the saved rounds.
            std::vector<Edit> edits;
            for (qsizetype e = d; e > 0; --e) {
                const std::vector<qsizetype> &before = trace[size_t(e)];
                const qsizetype kk = x - y;
                const bool down = kk == -e || (kk != e && before[size_t(offset + kk - 1)] <
                                                              before[size_t(offset + kk + 1)]);
                const qsizetype prevK = down ? kk + 1 : kk - 1;
                const qsizetype prevX = before[size_t(offset + prevK)];
                const qsizetype prevY = prevX - prevK;
                while (x > prevX && y > prevY) {
                    --x;
                    --y;
                    edits.push_back({Op::Same, aBegin + x, bBegin + y});
                }
                if (down)
                    edits.push_back({Op::Added, aBegin + prevX, bBegin + prevY});
                else
                    edits.push_back({Op::Removed, aBegin + prevX, bBegin + prevY});
                x = prevX;
                y = prevY;
            }
            while (x > 0 && y > 0) {
                --x;
                --y;
                edits.push_back({Op::Same, aBegin + x, bBegin + y});
            }
            std::reverse(edits.begin(), edits.end());
            return edits;
        }
    }
    return std::nullopt;
}

std::vector<Edit> edits(const QStringList &a, const QStringList &b) {
    qsizetype prefix = 0;
    while (prefix < a.size() && prefix < b.size() && a.at(prefix) == b.at(prefix))
        ++prefix;
    qsizetype suffix = 0;
    while (suffix < a.size() - prefix && suffix < b.size() - prefix &&
           a.at(a.size() - 1 - suffix) == b.at(b.size() - 1 - suffix))
        ++suffix;
    std::vector<Edit> result;
    for (qsizetype i = 0; i < prefix; ++i)
        result.push_back({Op::Same, i, i});
    const qsizetype aEnd = a.size() - suffix;
    const qsizetype bEnd = b.size() - suffix;
    if (auto middle = shortestEdit(a, prefix, aEnd, b, prefix, bEnd)) {
        result.insert(result.end(), middle->begin(), middle->end());
    } else {
        for (qsizetype i = prefix; i < aEnd; ++i)
            result.push_back({Op::Removed, i, prefix});
        for (qsizetype j = prefix; j < bEnd; ++j)
            result.push_back({Op::Added, aEnd, j});
    }
    for (qsizetype i = 0; i < suffix; ++i)
        result.push_back({Op::Same, aEnd + i, bEnd + i});
    return result;
}

QString range(qsizetype start, qsizetype count) {
    // diff -u: an empty range names the line before it.
    if (count == 0)
        return QStringLiteral("%1,0").arg(start);
    if (count == 1)
        return QString::number(start + 1);
    return QStringLiteral("%1,%2").arg(start + 1).arg(count);
}

} // namespace

namespace PHUnifiedDiff {

QString diff(const QString &path, const std::optional<QString> &before, const std::optional<QString> &after) {
    if (before == after)
        return {};
    const Lines a = split(before);
    const Lines b = split(after);
    const std::vector<Edit> script = edits(a.lines, b.lines);

    QString text = QStringLiteral("--- %1\n+++ %1\n").arg(path);
    if (!before)
        text = QStringLiteral("--- /dev/null\n+++ %1\n").arg(path);
    else if (!after)
        text = QStringLiteral("--- %1\n+++ /dev/null\n").arg(path);

    const auto lineOf = [&](const Edit &edit) {
        const bool old = edit.op != Op::Added;
        const QStringList &lines = old ? a.lines : b.lines;
        const qsizetype index = old ? edit.oldLine : edit.newLine;
        const QChar mark = edit.op == Op::Same      ? QLatin1Char(' ')
                           : edit.op == Op::Removed ? QLatin1Char('-')
                                                    : QLatin1Char('+');
        QString line = mark + lines.at(index) + QLatin1Char('\n');
        const bool last = index == lines.size() - 1;
        if (last && (old ? a.missingFinalNewline : b.missingFinalNewline))
            line += QStringLiteral("\\ No newline at end of file\n");
        return line;
    };

    // A change differs from the same line with or without its final line feed.
    const auto changed = [&](const Edit &edit) {
        if (edit.op != Op::Same)
            return true;
        const bool lastOld = edit.oldLine == a.lines.size() - 1;
        const bool lastNew = edit.newLine == b.lines.size() - 1;
        return (lastOld && a.missingFinalNewline) != (lastNew && b.missingFinalNewline);
    };
    std::vector<Edit> script2;
    for (const Edit &edit : script) {
        if (edit.op == Op::Same && changed(edit)) {
            script2.push_back({Op::Removed, edit.oldLine, edit.newLine});
            script2.push_back({Op::Added, edit.oldLine, edit.newLine});
        } else {
            script2.push_back(edit);
        }
    }

    const auto size = static_cast<qsizetype>(script2.size());
    qsizetype i = 0;
    while (i < size) {
        while (i < size && script2[size_t(i)].op == Op::Same)
            ++i;
        if (i >= size)
            break;
        // A hunk: context before, changes joined while less than twice the
        // context apart, context after.
        const qsizetype start = std::max<qsizetype>(0, i - kContext);
        qsizetype end = i;
        for (;;) {
            while (end < size && script2[size_t(end)].op != Op::Same)
                ++end;
            qsizetype same = end;
            while (same < size && script2[size_t(same)].op == Op::Same)
                ++same;
            if (same < size && same - end <= 2 * kContext) {
                end = same;
                continue;
            }
            end = std::min(size, end + kContext);
            break;
        }
        qsizetype oldCount = 0, newCount = 0;
        for (qsizetype j = start; j < end; ++j) {
            oldCount += script2[size_t(j)].op != Op::Added;
            newCount += script2[size_t(j)].op != Op::Removed;
        }
        const Edit &first = script2[size_t(start)];
        text += QStringLiteral("@@ -%1 +%2 @@\n")
                    .arg(range(first.oldLine, oldCount), range(first.newLine, newCount));
        for (qsizetype j = start; j < end; ++j)
            text += lineOf(script2[size_t(j)]);
        i = end;
    }
    return text;
}

} // namespace PHUnifiedDiff
