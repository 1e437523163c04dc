#pragma once

#include <QByteArray>
#include <QByteArrayList>
#include <QString>

#include <optional>

/// Answers of the server program and of Debian's envvars kept between runs of
/// a short-lived command: asking them costs a process or two each time.
///
/// An answer is kept in one file per question under
/// `$XDG_CACHE_HOME/porthold/` (an absolute value only, else `~/.cache`),
/// mode 0600, with a digest of everything the answer depends on (the files'
/// paths, devices, inodes, sizes, change and modification times, the
/// effective user and the parts of the environment that bear on it). It is used only
/// when the file is a regular file (not a link) owned by the effective user,
/// writable by no one else, in a folder likewise, read through completely and
/// with the same digest; anything else counts as no answer, and the caller
/// asks the program again.
namespace PHServerConfigCache {

/// What a key is made of: call add() for every part, then digest().
class Key {
public:
    explicit Key(const char *question);
    void add(const QByteArray &part);
    /// The path and identity of a file (following links); false when it
    /// cannot be looked at, and then nothing may be kept.
    bool addFile(const QString &path);
    /// The effective user.
    void addUser();
    /// Whether $PWD names the working folder (a shell keeps it then, and
    /// otherwise sets it to the working folder).
    void addWorkingFolder();
    /// A variable's value, or that it is not set.
    void addVariable(const QByteArray &name);
    /// Every variable whose name begins with `prefix`, with its value.
    void addVariables(const QByteArray &prefix);
    /// The names of the environment, in order; false when a name is given
    /// twice (which one a child takes is its own business).
    bool addVariableNames();
    QByteArray digest() const;

private:
    QByteArray m_material;
};

/// Whether answers are kept at all (off unless a command line turns it on).
bool enabled();
void setEnabled(bool on);
/// Whether new answers are written (a dry run writes no file at all).
void setStoring(bool on);
/// The folder the answers go in, or empty when there is none to use.
QString folder();

/// The entries kept for `question` under `key`, or none.
std::optional<QByteArrayList> load(const char *question, const QByteArray &key);
/// Keeps `entries` for `question` under `key`, replacing the file at once;
/// failures are silent (the next run asks again).
void store(const char *question, const QByteArray &key, const QByteArrayList &entries);

} // namespace PHServerConfigCache
