#pragma once

#include "model/PHListModel.h"
#include "model/PHModelContext.h"

/// The address table: the front end's known-address list (read through its
/// known names, never copied) with a check column that says whether the selected
/// folder lists each address in its current mode. Ticking edits that folder's
/// list and rewrites its access file; typing into an address hands the new
/// text, lower-cased, to the panel.
class PHAddressModel : public PHListModel {
    Q_OBJECT
public:
    /// What the address table shows for 127.0.0.1 (typing still edits the address).
    static inline const QString thisComputerTitle = QStringLiteral("This computer (127.0.0.1, ::1)");

    explicit PHAddressModel(const PHModelContext &context, QObject *parent = nullptr);

    qint32 numberOfRows() const override;
    QVariant objectAtRowColumn(qint32 row, const QString &column) const override;
    void setObjectForRowColumn(const QVariant &value, qint32 row, const QString &column) override;
    QString summaryTextForRow(qint32 row) const override;

    /// The addresses only.
    bool isEditable(qint32 row, const QString &column) const override;
    /// 127.0.0.1 shows as this computer; the check boxes act on an
    /// address-protected folder the panel may rewrite.
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;

private:
    QString addressAtIndex(qint32 row) const;

    PHModelContext m_context;
};
