#pragma once

#include <QFont>
#include <QIcon>
#include <QStyledItemDelegate>

#include <optional>

/// A text cell with an icon drawn in front of the text: the icon sits
/// `kMargin` from the left edge and is centred vertically; the text, and the
/// editor while typing, take the rest of the cell. The icon comes from the
/// row's decoration (what the delegate set on the cell), else `image`.
class PHIconTextDelegate : public QStyledItemDelegate {
    Q_OBJECT
public:
    static constexpr int kMargin = 3;

    explicit PHIconTextDelegate(QObject *parent = nullptr);

    QIcon image() const { return m_image; }
    void setImage(const QIcon &image);
    QSize imageSize() const { return m_imageSize; }
    void setImageSize(const QSize &size) { m_imageSize = size; }
    /// The text's font; without one set, the view's.
    QFont font() const { return m_font.value_or(QFont()); }
    void setFont(const QFont &font) { m_font = font; }

    /// Where the icon goes in a cell's frame; empty without an icon.
    static QRect imageFrameForCellFrame(const QRect &frame, const QSize &imageSize);
    /// The frame left for the text once the icon's strip is cut off.
    static QRect textFrameForCellFrame(const QRect &frame, const QSize &imageSize);

    void paint(QPainter *painter, const QStyleOptionViewItem &option,
               const QModelIndex &index) const override;
    QSize sizeHint(const QStyleOptionViewItem &option, const QModelIndex &index) const override;
    void updateEditorGeometry(QWidget *editor, const QStyleOptionViewItem &option,
                              const QModelIndex &index) const override;

private:
    QIcon iconFor(const QModelIndex &index) const;
    /// The item's style option with its decoration taken out: this cell draws
    /// the icon itself, in its own strip.
    QStyleOptionViewItem textOnlyOption(const QStyleOptionViewItem &option, const QModelIndex &index) const;

    QIcon m_image;
    QSize m_imageSize{16, 16};
    std::optional<QFont> m_font;
};
