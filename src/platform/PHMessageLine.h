#pragma once

#include "platform/PHThemeColors.h"

#include <QFrame>
#include <QList>
#include <QPointer>

class QBoxLayout;
class QHBoxLayout;
class QLabel;
class QPushButton;
class QToolButton;

/// A line of news inside a window: the result of what the user just did
/// ("Saved .htaccess in docs", "Apache did not start: ..."), or why it was
/// refused. It never blocks: it stays until the next message, the user's next
/// click or key in its window, or until closed, and may offer buttons for what
/// can be done next (Revert, Show in Folder).
///
/// Placed with `placeIn`, the window keeps a line's room for it whether it
/// shows or not, so news never moves or grows what is below; a text longer
/// than a line lies over the content below until it goes.
class PHMessageLine : public QFrame {
    Q_OBJECT
public:
    using Meaning = PHThemeColors::Meaning;

    explicit PHMessageLine(QWidget *parent = nullptr);

    /// Shows the text; the buttons of an earlier message go.
    void showMessage(Meaning meaning, const QString &text);
    /// A button after the text that runs `action` and closes the line.
    QPushButton *addButton(const QString &title, const std::function<void()> &action);
    void dismiss();
    /// Keeps a line's room for the message at `index` of `layout`, whose
    /// widget must be this line's parent.
    void placeIn(QBoxLayout *layout, int index);
    /// The room kept for the line (null until placed).
    QWidget *space() const { return m_space; }

    QString text() const;
    Meaning meaning() const { return m_meaning; }
    QList<QPushButton *> buttons() const;

protected:
    void changeEvent(QEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void applyColors();
    /// Over the kept room, as tall as the text needs.
    void followSpace();
    int oneLineHeight() const;
    /// Whether an input event is the user acting in this line's window.
    bool isNextAction(QObject *watched, QEvent *event) const;

    Meaning m_meaning = Meaning::Normal;
    QLabel *m_text = nullptr;
    QHBoxLayout *m_layout = nullptr;
    QToolButton *m_close = nullptr;
    QList<QPointer<QPushButton>> m_buttons;
    QPointer<QWidget> m_space;
};
