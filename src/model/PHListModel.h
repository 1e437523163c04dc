#pragma once

#include "model/PHItemModel.h"

#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

/// A table over a list. Each element is either a key/value record (a row
/// whose columns are its keys) or any other value (a one-column row); the
/// first element decides the shape of every row. Columns are named by their
/// identifiers: a record's keys.
///
/// Subclasses that show other rows (a fixed row in front, rows from
/// elsewhere) override the row operations; those that show icons, tooltips
/// or disabled cells override data() for those roles.
class PHListModel : public PHItemModel {
    Q_OBJECT

public:
    explicit PHListModel(QObject *parent = nullptr);
    explicit PHListModel(QVariantList dataArray, QObject *parent = nullptr);
    ~PHListModel() override;

    static std::unique_ptr<PHListModel> withRows(QVariantList dataArray);

    const QVariantList &dataArray() const { return m_dataArray; }
    QVariantList &dataArray() { return m_dataArray; }
    /// Takes the list (an empty list stands for "none") and shows it.
    void setDataArray(QVariantList dataArray);

    // Shape and contents. Rows count from 0 here; subclasses that show extra
    // rows override these.
    virtual qint32 numberOfRows() const;
    /// The keys of the first element when it is a record, else 1 (also for an
    /// empty list: a list of plain values still has its one column).
    virtual qint32 numberOfColumns() const;
    /// A record row's value for the column (none when it has no such key), a
    /// plain row's element; none for a row outside the list.
    virtual QVariant objectAtRowColumn(qint32 row, const QString &column) const;
    virtual void setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column);
    /// A record row: the text of every value, each followed by one space, in
    /// the record's own order. A plain row: the element's text.
    virtual QString summaryTextForRow(qint32 row) const;
    /// Whether typing into a text cell may start (never, unless a subclass says so).
    virtual bool isEditable(qint32 row, const QString &column) const;

    /// Removes element `index` (from 0); false, changing nothing, outside the list.
    bool removeElement(qsizetype index);

    /// The text a value shows as in summaries: booleans as 1 or 0, lists
    /// joined with ", ", anything without a text form as its type name.
    static QString descriptionOfValue(const QVariant &value);

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    /// Text columns show the value's text, check columns its truth.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// A ticked or cleared check box (unless disabled), or typed text.
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

protected:
    bool hasRecordRows() const;

    QVariantList m_dataArray;
};
