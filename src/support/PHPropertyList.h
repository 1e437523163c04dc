#pragma once

#include <QVariant>

#include <plist/plist.h>

#include <climits>
#include <memory>

/// Property-list nodes (libplist) as Qt values and back: strings are QString,
/// data QByteArray, booleans bool, integers int or qlonglong (negative ones are
/// stored in two's complement), reals double, dates QDateTime (in local time),
/// arrays QVariantList (QStringList accepted on writing) and dictionaries
/// QVariantMap (QVariantHash accepted on writing).
namespace PHPropertyList {

struct Free {
    void operator()(plist_t node) const { plist_free(node); }
};
/// Owns a node tree.
using Node = std::unique_ptr<void, Free>;

/// Integer QMetaType ids (bool not among them).
bool isIntegerType(int typeId);
bool isRealType(int typeId);
/// Integers, reals and bool.
bool isNumberType(int typeId);

struct ReadOptions {
    /// Integers that fit in 32 bits read as int, larger ones as qlonglong;
    /// when false every integer reads as qlonglong.
    bool narrowIntegers = false;
    /// Nodes nested deeper than this read as nothing: a bound on the work an
    /// untrusted document can cause.
    int maxDepth = INT_MAX;
};

/// The node as a Qt value; an invalid QVariant for a null node, one of another
/// type, or one nested too deep. Array elements and dictionary values that read
/// as nothing are left out.
QVariant toVariant(plist_t node, const ReadOptions &options = {});

/// A new node tree for a property-list value, owned by the caller; null when the
/// value is not one or holds something that is not (an invalid QVariant, an
/// invalid date or one outside the format's range, and an unsigned value above
/// the signed 64-bit range, included). Dates from 2069 on and before 1933 keep
/// whole seconds only.
plist_t fromVariant(const QVariant &value);

/// The property list in the file at `path` (XML or binary); an invalid QVariant
/// when it cannot be read or is not one.
QVariant readFile(const QString &path, const ReadOptions &options = {});

} // namespace PHPropertyList
