#pragma once

#include <QAbstractItemModel>
#include <QList>
#include <QString>

/// The base of the panel's tables and outlines: named columns of four kinds
/// and the roles their delegates read. A cell's accessible text is made from
/// its other roles, so screen readers hear what the cell shows.
///
/// Icons travel as QIcon values in QVariants that the view side hands in:
/// the models link no GUI library.
class PHItemModel : public QAbstractItemModel {
    Q_OBJECT

public:
    /// Roles beyond Qt's own, read by the delegates.
    enum Role {
        /// bool: a check box, pop-up or button acts (absent: it does).
        EnabledRole = Qt::UserRole + 1,
        /// bool: nothing is drawn and nothing can be clicked (a member's check box).
        HiddenRole,
        /// QIcon: a button's image while it is pressed.
        PressedDecorationRole,
        /// QString: a short sign drawn after a pop-up's title.
        MarkRole,
    };
    /// How a column's values show: text (with an icon), a check box, a
    /// pop-up (EditRole: the chosen item; DisplayRole: its title) or a button.
    enum class ColumnKind { Text, Check, PopUp, Button };
    struct Column {
        QString identifier;
        QString title;
        ColumnKind kind = ColumnKind::Text;
    };

    explicit PHItemModel(QObject *parent = nullptr);

    void setColumns(const QList<Column> &columns);
    const QList<Column> &columns() const { return m_columns; }
    /// The column's position, or -1.
    int columnForIdentifier(const QString &identifier) const;
    QString identifierForColumn(int column) const;
    ColumnKind kindOfColumn(int column) const;

    /// Shows every row again: the rows behind the model were replaced.
    void reload();

    /// Whether `text` may end an in-place edit of `index`; false keeps the
    /// editor open (the model has said why, if anything).
    virtual bool acceptsEditedText(const QModelIndex &index, const QString &text);
    /// Whether the row of `index` may become selected now. A model may hold
    /// it back and ask for it later with selectionRequested.
    virtual bool maySelect(const QModelIndex &index);
    /// The view opened or closed the row of `index`.
    virtual void expansionChanged(const QModelIndex &index, bool expanded);

    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
    /// The accessible text and description; nothing for other roles.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    /// No drags and drops unless a model offers them.
    QStringList mimeTypes() const override;
    QMimeData *mimeData(const QModelIndexList &indexes) const override;
    Qt::DropActions supportedDropActions() const override;
    Qt::DropActions supportedDragActions() const override;

    /// Whether a cell's check box, pop-up or button acts.
    static bool isEnabled(const QModelIndex &index);
    static bool isHidden(const QModelIndex &index);

signals:
    /// An edit was refused without words: the view beeps.
    void beepRequested();
    /// The view should select `index` alone, show the children of `index`,
    /// or send its action as after a click.
    void selectionRequested(const QModelIndex &index);
    void expansionRequested(const QModelIndex &index);
    void actionRequested();

protected:
    /// Emits dataChanged for every column of `index`'s row.
    void rowChanged(const QModelIndex &index);
    /// endResetModel, noting that the views are being told of the reset.
    void endReset();
    /// While a reset is announced the rows are new to everyone: rows found
    /// then (a folder listed) need no announcement of their own.
    bool isAnnouncingReset() const { return m_announcingReset; }

private:
    QString accessibleText(const QModelIndex &index) const;

    QList<Column> m_columns;
    bool m_announcingReset = false;
};
