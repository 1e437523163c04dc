#pragma once

#include <QObject>
#include <QString>
#include <QVariant>
#include <QVariantList>

#include <memory>

/// A table data source over a list. Each element is either a key/value record
/// (a row whose columns are its keys) or any other value (a one-column row);
/// the first element decides the shape of every row.
///
/// The operations named after the view's questions (`numberOfRowsInTableView`,
/// `tableViewObjectValueForTableColumnRow`, ...) take the asking view as a plain
/// `QObject *` and a column by its identifier: the item-model adapter of the
/// table forwards its questions here, so no view type is needed to build,
/// test or subclass a data source.
///
/// A data source never touches a view directly. When its rows change it emits
/// `reloadRequested` with the view it was asked about (possibly null); the
/// adapter listening to it resets the table.
class PHXDataSource : public QObject {
    Q_OBJECT

public:
    explicit PHXDataSource(QObject *parent = nullptr);
    explicit PHXDataSource(QVariantList dataArray, QObject *parent = nullptr);
    ~PHXDataSource() override;

    static std::unique_ptr<PHXDataSource> dataSource();
    static std::unique_ptr<PHXDataSource> dataSourceWithDataArray(QVariantList dataArray);

    const QVariantList &dataArray() const { return m_dataArray; }
    QVariantList &dataArray() { return m_dataArray; }
    /// Takes the list; an empty list stands for "none".
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

    // The table's questions.
    virtual qint32 numberOfRowsInTableView(QObject *tableView);
    virtual QVariant tableViewObjectValueForTableColumnRow(QObject *tableView, const QString &column,
                                                           qint32 row);
    virtual void tableViewSetObjectValueForTableColumnRow(QObject *tableView, const QVariant &value,
                                                          const QString &column, qint32 row);
    /// Removes element `index` (from 0); false, changing nothing, outside the list.
    bool removeElement(qsizetype index);

    /// The text a value shows as in summaries: booleans as 1 or 0, lists
    /// joined with ", ", anything without a text form as its type name.
    static QString descriptionOfValue(const QVariant &value);

signals:
    /// The rows changed; the table showing them (the view passed, or any
    /// view of this data source when it is null) must be reloaded.
    void reloadRequested(QObject *view);

protected:
    bool hasRecordRows() const;
    void reloadView(QObject *view) { emit reloadRequested(view); }

    QVariantList m_dataArray;
};
