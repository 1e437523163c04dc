#include "model/PHUserItem.h"

#include "model/PHSettings.h"
#include "support/PHSettingsStore.h"

#include <algorithm>

PHUserItem::PHUserItem(const QString &value, const Ptr &parent, std::optional<Children> children)
    : m_myParent(parent), m_myValue(value), m_hasChildren(children.has_value()) {
    if (children)
        m_myChildren = std::move(*children);
}

PHUserItem::Ptr PHUserItem::itemWithValueParentChildren(const QString &value, const Ptr &parent,
                                                        std::optional<Children> children) {
    return std::make_shared<PHUserItem>(value, parent, std::move(children));
}

qint32 PHUserItem::indexInParent() const {
    const Ptr above = parent();
    if (!above)
        return -1;
    const Children &siblings = above->children();
    for (qsizetype i = 0; i < siblings.size(); ++i) {
        if (siblings.at(i).get() == this)
            return qint32(i);
    }
    return -1;
}

namespace {
Qt::CaseSensitivity comparedCase() {
    return PHSettingsStore::instance()->boolForKey(PHSettings::Key::CaseSensitiveCompare)
               ? Qt::CaseSensitive
               : Qt::CaseInsensitive;
}
} // namespace

int PHUserItem::compareTo(const PHUserItem &other) const {
    const int order = QString::compare(m_myValue, other.m_myValue, comparedCase());
    return order < 0 ? -1 : order > 0 ? 1 : 0;
}

void PHUserItem::sortItems(Children &items) {
    // The setting is read once for the whole sort, not once per comparison.
    const Qt::CaseSensitivity sensitivity = comparedCase();
    std::stable_sort(items.begin(), items.end(), [sensitivity](const Ptr &a, const Ptr &b) {
        return QString::compare(a->value(), b->value(), sensitivity) < 0;
    });
}

QString PHUserItem::description() const {
    const Ptr above = parent();
    // One arg() call: a name holding "%1" must not be taken for a placeholder.
    return QStringLiteral("I am %1 at index %2 in %3")
        .arg(m_myValue.isNull() ? QStringLiteral("(null)") : m_myValue, QString::number(indexInParent()),
             above ? above->description() : QStringLiteral("(null)"));
}
