#pragma once

#include <QString>

/// The one rule for user and group names: a name is accepted only when Apache
/// reads it back, from the user file, the group file and a "Require" line, as
/// exactly this one name. Every front end asks here before it stores a name or
/// writes one into an access file.
///
/// Apache skips user- and group-file lines that begin with "#", reads a word
/// that begins with a quote up to the matching quote (swallowing the names
/// after it), treats a backslash as an escape, splits at whitespace, and ends
/// a name at the first ":". Characters outside printable ASCII cannot be
/// typed reliably in a browser's password prompt.
class PHNameRule {
public:
    enum class Kind { User, Group };

    /// Why the name cannot be used, as a sentence for the person who typed
    /// it; empty when it can.
    static QString refusal(const QString &name, Kind kind);
    static bool isAcceptable(const QString &name, Kind kind) { return refusal(name, kind).isEmpty(); }
};
