#include "model/PHItemModel.h"

PHItemModel::PHItemModel(QObject *parent) : QAbstractItemModel(parent) {
}

void PHItemModel::setColumns(const QList<Column> &columns) {
    beginResetModel();
    m_columns = columns;
    endReset();
}

void PHItemModel::endReset() {
    m_announcingReset = true;
    endResetModel();
    m_announcingReset = false;
}

int PHItemModel::columnForIdentifier(const QString &identifier) const {
    for (int i = 0; i < m_columns.size(); ++i)
        if (m_columns.at(i).identifier == identifier)
            return i;
    return -1;
}

QString PHItemModel::identifierForColumn(int column) const {
    return column >= 0 && column < m_columns.size() ? m_columns.at(column).identifier : QString();
}

PHItemModel::ColumnKind PHItemModel::kindOfColumn(int column) const {
    return column >= 0 && column < m_columns.size() ? m_columns.at(column).kind : ColumnKind::Text;
}

void PHItemModel::reload() {
    beginResetModel();
    endReset();
}

bool PHItemModel::acceptsEditedText(const QModelIndex &, const QString &) {
    return true;
}

bool PHItemModel::maySelect(const QModelIndex &) {
    return true;
}

void PHItemModel::expansionChanged(const QModelIndex &, bool) {
}

int PHItemModel::columnCount(const QModelIndex &) const {
    return int(m_columns.size());
}

QVariant PHItemModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
        section >= m_columns.size())
        return {};
    return m_columns.at(section).title;
}

QVariant PHItemModel::data(const QModelIndex &index, int role) const {
    if (!index.isValid())
        return {};
    switch (role) {
    case Qt::AccessibleTextRole:
        return accessibleText(index);
    case Qt::AccessibleDescriptionRole:
        return index.data(Qt::ToolTipRole);
    default:
        return {};
    }
}

bool PHItemModel::isEnabled(const QModelIndex &index) {
    const QVariant enabled = index.data(EnabledRole);
    return !enabled.isValid() || enabled.toBool();
}

bool PHItemModel::isHidden(const QModelIndex &index) {
    return index.data(HiddenRole).toBool();
}

QString PHItemModel::accessibleText(const QModelIndex &index) const {
    if (isHidden(index))
        return {};
    const ColumnKind kind = kindOfColumn(index.column());
    QString text;
    switch (kind) {
    case ColumnKind::Text:
        // What typing edits, not a title shown in its place.
        return index.data(Qt::EditRole).toString();
    case ColumnKind::Check:
        text = index.data(Qt::CheckStateRole).toInt() == Qt::Checked ? QStringLiteral("checked")
                                                                     : QStringLiteral("not checked");
        break;
    case ColumnKind::PopUp:
        text = index.data(Qt::DisplayRole).toString();
        break;
    case ColumnKind::Button: {
        const QString tip = index.data(Qt::ToolTipRole).toString();
        text = tip.isEmpty() ? QStringLiteral("button") : tip;
        break;
    }
    }
    // A check box without a title speaks for its row ("alice: checked").
    QString label = m_columns.value(index.column()).title;
    if (label.isEmpty() && kind == ColumnKind::Check) {
        for (int column = 0; column < m_columns.size(); ++column)
            if (m_columns.at(column).kind == ColumnKind::Text) {
                label = accessibleText(index.siblingAtColumn(column));
                break;
            }
    }
    if (!label.isEmpty())
        text = label + QStringLiteral(": ") + text;
    if (!isEnabled(index))
        text += QStringLiteral(" (unavailable)");
    return text;
}

QStringList PHItemModel::mimeTypes() const {
    return {};
}

QMimeData *PHItemModel::mimeData(const QModelIndexList &) const {
    return nullptr;
}

Qt::DropActions PHItemModel::supportedDropActions() const {
    return Qt::CopyAction;
}

Qt::DropActions PHItemModel::supportedDragActions() const {
    return Qt::CopyAction;
}

void PHItemModel::rowChanged(const QModelIndex &index) {
    if (!index.isValid() || columnCount() == 0)
        return;
    emit dataChanged(index.siblingAtColumn(0), index.siblingAtColumn(columnCount() - 1));
}
