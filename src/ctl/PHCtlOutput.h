#pragma once

#include "support/PHWriteJournal.h"

#include <QJsonArray>
#include <QJsonObject>
#include <QString>
#include <QStringList>

#include <functional>

class QTextStream;

/// What one run of portholdctl tells its caller: text for people, or with
/// --json one JSON document on standard output whatever happens (an error
/// too). A changing command's answer says whether it changed anything and
/// which files, with --diff how, and with --check what it would change.
class PHCtlOutput {
public:
    struct Options {
        bool json = false;
        bool check = false;
        bool diff = false;
    };

    PHCtlOutput(QTextStream &out, QTextStream &err, Options options);

    bool isJson() const { return m_options.json; }
    /// Standard output for text answers; nothing may be printed there in JSON mode.
    QTextStream &text() { return m_out; }

    /// A line of a changing command's text answer; in JSON mode one of "messages".
    void note(const QString &line);
    /// A warning: always on standard error, and in JSON mode one of "warnings".
    void warn(const QString &message);
    /// A field of the JSON document.
    void set(const QString &key, const QJsonValue &value) { m_document.insert(key, value); }
    /// Makes the elements of a list, one call of `add` each; false with
    /// `*error` when it could not go on.
    using ListMaker =
        std::function<bool(const std::function<void(const QJsonObject &)> &add, QString *error)>;
    /// A list field of the JSON document, written element by element as
    /// `make` makes them when the document is printed (last, after the other
    /// fields, a refusal's "error" and "exit" too), so that a long list is
    /// never held. A list that fails midway
    /// ends there and the document gets the "error" and "exit" (`failure`) of
    /// a failure.
    void setStreamedList(const QString &key, ListMaker make, int failure);
    bool hasStreamedList() const { return bool(m_streamedList); }

    /// Ends a changing command: what the journal recorded becomes "changed",
    /// "files" and (with --diff) "diff"; in text mode the diffs are printed,
    /// and with --check what would change. `userFile` is the user file, whose
    /// password hashes a diff never shows. `attributed` are files whose bytes
    /// stay but whose owner, group or mode changed (or would).
    void finishChange(const QList<PHWriteJournal::Entry> &changes, const QString &userFile,
                      const QStringList &attributed = {});
    /// Ends a run that failed: the document becomes {"error", "exit"} (with
    /// any warnings); the messages go to standard error as well.
    void fail(const QStringList &messages, int status);
    /// Prints the JSON document (in JSON mode) and flushes both streams;
    /// false when a streamed list failed (its error is printed).
    bool flush();

private:
    QTextStream &m_out;
    QTextStream &m_err;
    Options m_options;
    QJsonObject m_document;
    QJsonArray m_warnings;
    QJsonArray m_messages;
    QString m_streamedKey;
    ListMaker m_streamedList;
    int m_streamedFailure = 1;
};
