#include "platform/PHMessageLine.h"

#include "platform/PHAction.h"

#include <QAccessible>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QStyle>
#include <QToolButton>

PHMessageLine::PHMessageLine(QWidget *parent) : QFrame(parent) {
    setObjectName(QStringLiteral("messageLine"));
    setFrameShape(QFrame::StyledPanel);
    setAutoFillBackground(true);
    m_layout = new QHBoxLayout(this);
    m_layout->setContentsMargins(8, 4, 4, 4);
    m_text = new QLabel(this);
    m_text->setObjectName(QStringLiteral("messageText"));
    m_text->setWordWrap(true);
    m_text->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    m_text->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    m_layout->addWidget(m_text, 1);
    m_close = new QToolButton(this);
    m_close->setObjectName(QStringLiteral("messageClose"));
    m_close->setAutoRaise(true);
    m_close->setIcon(style()->standardIcon(QStyle::SP_TitleBarCloseButton));
    m_close->setToolTip(QStringLiteral("Close"));
    m_close->setAccessibleName(QStringLiteral("Close message"));
    m_layout->addWidget(m_close);
    connect(m_close, &QToolButton::clicked, this, &PHMessageLine::dismiss);
    hide();
}

void PHMessageLine::showMessage(Meaning meaning, const QString &text) {
    for (const QPointer<QPushButton> &button : m_buttons)
        delete button.data();
    m_buttons.clear();
    m_meaning = meaning;
    m_text->setText(text);
    setAccessibleName(text);
    applyColors();
    show();
    // Screen readers hear the news without the focus moving.
    QAccessibleEvent event(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

QPushButton *PHMessageLine::addButton(const QString &title, const std::function<void()> &action) {
    auto *button = new QPushButton(title, this);
    m_layout->insertWidget(m_layout->indexOf(m_close), button);
    m_buttons.append(button);
    connect(button, &QPushButton::clicked, this, [this, action, title] {
        dismiss();
        PHAction::run(title.toUtf8().constData(), [&] { action(); });
    });
    return button;
}

void PHMessageLine::dismiss() {
    hide();
}

QString PHMessageLine::text() const {
    return m_text->text();
}

QList<QPushButton *> PHMessageLine::buttons() const {
    QList<QPushButton *> live;
    for (const QPointer<QPushButton> &button : m_buttons)
        if (button)
            live.append(button.data());
    return live;
}

void PHMessageLine::changeEvent(QEvent *event) {
    QFrame::changeEvent(event);
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::StyleChange)
        applyColors();
}

void PHMessageLine::applyColors() {
    // Colours come from the parent's palette, so a theme change recolours the line.
    const QPalette source = parentWidget() ? parentWidget()->palette() : QPalette();
    QPalette own;
    own.setColor(QPalette::Window, PHThemeColors::backgroundColor(source, m_meaning));
    own.setColor(QPalette::WindowText, source.color(QPalette::WindowText));
    setPalette(own); // Qt sends no change event when nothing changed
}
