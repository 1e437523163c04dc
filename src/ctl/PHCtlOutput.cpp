#include "ctl/PHCtlOutput.h"

#include "ctl/PHCtl.h"
#include "ctl/PHUnifiedDiff.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QStringDecoder>
#include <QTextStream>

namespace {

QString decoded(const QByteArray &bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = utf8(bytes);
    // The user and group files are Latin-1; an access file may be either.
    return utf8.hasError() ? QString::fromLatin1(bytes) : text;
}

/// The user file with each password hash replaced by a short fingerprint of
/// it: a diff shows which users got a new password, never a hash to attack.
QString withoutHashes(const QString &text) {
    QStringList lines = text.split(QLatin1Char('\n'));
    for (QString &line : lines) {
        const qsizetype colon = line.indexOf(QLatin1Char(':'));
        if (colon <= 0)
            continue;
        const QByteArray fingerprint =
            QCryptographicHash::hash(line.mid(colon + 1).toUtf8(), QCryptographicHash::Sha256)
                .toHex()
                .left(8);
        line = line.left(colon + 1) + QStringLiteral("[hash %1]").arg(QString::fromLatin1(fingerprint));
    }
    return lines.join(QLatin1Char('\n'));
}

std::optional<QString> shown(const std::optional<QByteArray> &bytes, bool hideHashes) {
    if (!bytes)
        return std::nullopt;
    const QString text = decoded(*bytes);
    return hideHashes ? withoutHashes(text) : text;
}

} // namespace

PHCtlOutput::PHCtlOutput(QTextStream &out, QTextStream &err, Options options)
    : m_out(out), m_err(err), m_options(options) {
}

void PHCtlOutput::note(const QString &line) {
    if (m_options.json)
        m_messages.append(line);
    else
        m_out << line << '\n';
}

void PHCtlOutput::warn(const QString &message) {
    m_err << "portholdctl: warning: " << message << '\n';
    m_warnings.append(message);
}

void PHCtlOutput::finishChange(const QList<PHWriteJournal::Entry> &changes, const QString &userFile,
                               const QStringList &attributed) {
    QJsonArray files;
    QJsonArray diffs;
    for (const PHWriteJournal::Entry &change : changes) {
        files.append(change.path);
        if (!m_options.diff)
            continue;
        const bool hideHashes = change.path == userFile;
        const std::optional<QString> before = shown(change.before, hideHashes);
        const std::optional<QString> after = shown(change.after, hideHashes);
        if (m_options.json) {
            QJsonObject entry{{"path", change.path},
                              {"before", before.value_or(QString())},
                              {"after", after.value_or(QString())},
                              {"state", !before  ? "created"
                                        : !after ? "removed"
                                                 : "changed"}};
            diffs.append(entry);
        } else {
            m_out << PHUnifiedDiff::diff(change.path, before, after);
        }
    }
    if (!m_options.json && m_options.check) {
        for (const PHWriteJournal::Entry &change : changes)
            m_out << (change.after ? "Would write " : "Would remove ") << change.path << '\n';
        for (const QString &path : attributed)
            m_out << "Would set the owner, group or mode of " << path << '\n';
        if (changes.isEmpty() && attributed.isEmpty())
            m_out << "Nothing would change\n";
    }
    for (const QString &path : attributed)
        files.append(path);
    m_document.insert(QStringLiteral("changed"), !changes.isEmpty() || !attributed.isEmpty());
    m_document.insert(QStringLiteral("check"), m_options.check);
    m_document.insert(QStringLiteral("files"), files);
    if (m_options.diff)
        m_document.insert(QStringLiteral("diff"), diffs);
    m_document.insert(QStringLiteral("warnings"), QJsonArray());
    m_document.insert(QStringLiteral("messages"), QJsonArray());
}

void PHCtlOutput::fail(const QStringList &messages, int status) {
    for (const QString &message : messages)
        m_err << "portholdctl: " << message << '\n';
    // What a reading command gathered stays (user audit lists the weak hashes).
    m_document.insert(QStringLiteral("error"), messages.join(QLatin1Char('\n')));
    m_document.insert(QStringLiteral("exit"), status);
}

void PHCtlOutput::setStreamedList(const QString &key, ListMaker make, int failure) {
    m_streamedKey = key;
    m_streamedFailure = failure;
    m_streamedList = std::move(make);
}

bool PHCtlOutput::flush() {
    bool made = true;
    if (m_options.json) {
        if (!m_warnings.isEmpty() || m_document.contains(QStringLiteral("warnings")))
            m_document.insert(QStringLiteral("warnings"), m_warnings);
        if (!m_messages.isEmpty() || m_document.contains(QStringLiteral("messages")))
            m_document.insert(QStringLiteral("messages"), m_messages);
        // A refusal keeps the list (user audit names the weak hashes); a
        // failure before it has none to give.
        const bool refused = m_document.value(QStringLiteral("exit")).toInt() == PHCtl::Refused;
        if (!m_streamedList || (m_document.contains(QStringLiteral("error")) && !refused)) {
            m_out << QJsonDocument(m_document).toJson(QJsonDocument::Compact) << '\n';
        } else {
            // The other fields, then the list as it is made: "{…,"key":[…]}".
            QByteArray head = QJsonDocument(m_document).toJson(QJsonDocument::Compact);
            head.chop(1);
            if (head.size() > 1)
                head += ',';
            m_out << head
                  << QJsonDocument(QJsonObject{{m_streamedKey, QJsonArray()}})
                         .toJson(QJsonDocument::Compact)
                         .sliced(1)
                         .chopped(2);
            bool first = true;
            QString error;
            made = m_streamedList(
                [&](const QJsonObject &element) {
                    m_out << (first ? "" : ",") << QJsonDocument(element).toJson(QJsonDocument::Compact);
                    first = false;
                },
                &error);
            m_out << ']';
            if (!made) {
                m_err << "portholdctl: " << error << '\n';
                // The head holds a refusal's "error" and "exit" already: the
                // list's own failure is named apart (the exit status is a failure's).
                QJsonObject failure{{"error", error}, {"exit", m_streamedFailure}};
                if (m_document.contains(QStringLiteral("error")))
                    failure = QJsonObject{{"list_error", error}};
                const QByteArray tail = QJsonDocument(failure).toJson(QJsonDocument::Compact);
                m_out << ',' << tail.sliced(1).chopped(1);
            }
            m_out << "}\n";
        }
    }
    m_out.flush();
    m_err.flush();
    return made;
}
