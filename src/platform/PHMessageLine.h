#pragma once

#include "platform/PHThemeColors.h"

#include <QFrame>
#include <QList>
#include <QPointer>

class QHBoxLayout;
class QLabel;
class QPushButton;
class QToolButton;

/// A line of news inside a window: the result of what the user just did
/// ("Saved .htaccess in docs", "Apache did not start: ..."), or why it was
/// refused. It never blocks: it stays until the next message or until closed,
/// and may offer buttons for what can be done next (Revert, Show in Folder).
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

    QString text() const;
    Meaning meaning() const { return m_meaning; }
    QList<QPushButton *> buttons() const;

protected:
    void changeEvent(QEvent *event) override;

private:
    void applyColors();

    Meaning m_meaning = Meaning::Normal;
    QLabel *m_text = nullptr;
    QHBoxLayout *m_layout = nullptr;
    QToolButton *m_close = nullptr;
    QList<QPointer<QPushButton>> m_buttons;
};
