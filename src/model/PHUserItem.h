#pragma once

#include <QList>
#include <QString>

#include <memory>
#include <optional>

/// A node of the group tree: the root (no value), a group (made with a list of
/// children, possibly empty) or a member (made without one). `hasChildren`
/// tells a group from a member, not whether the list holds anything.
///
/// Nodes live in shared pointers: a node owns its children, and holds its
/// parent weakly so that a tree frees itself when its root goes. A node handed
/// to a queued call stays valid even after the tree drops it.
class PHUserItem : public std::enable_shared_from_this<PHUserItem> {
public:
    using Ptr = std::shared_ptr<PHUserItem>;
    using Children = QList<Ptr>;

    /// Use `itemWithValueParentChildren`: a node must be owned by a shared
    /// pointer. A null `value` is "none" (the root).
    PHUserItem(const QString &value, const Ptr &parent, std::optional<Children> children);
    static Ptr itemWithValueParentChildren(const QString &value, const Ptr &parent,
                                           std::optional<Children> children);

    const QString &value() const { return m_myValue; }
    void setValue(const QString &value) { m_myValue = value; }
    /// The node above, or null for the root and for a node whose tree is gone.
    Ptr parent() const { return m_myParent.lock(); }
    void setParent(const Ptr &parent) { m_myParent = parent; }
    Children &children() { return m_myChildren; }
    const Children &children() const { return m_myChildren; }
    bool hasChildren() const { return m_hasChildren; }

    /// This node's position among its parent's children, or −1.
    qint32 indexInParent() const;

    /// Orders two nodes by value: case-sensitively when the setting "Case
    /// Sensitive Compare" is on, otherwise ignoring letter case. Negative, zero
    /// or positive, like QString::compare.
    int compareTo(const PHUserItem &other) const;
    /// Orders nodes in place with `compareTo`, keeping equal ones in their order.
    static void sortItems(Children &items);

    /// "I am <value> at index <i> in <parent>", for logs.
    QString description() const;

private:
    std::weak_ptr<PHUserItem> m_myParent;
    Children m_myChildren;
    QString m_myValue;
    bool m_hasChildren;
};
