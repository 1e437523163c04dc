#include "platform/PHMessageLine.h"

#include "platform/PHAction.h"

#include <QAccessible>
#include <QApplication>
#include <QBoxLayout>
#include <QEvent>
#include <QHBoxLayout>
#include <QKeyEvent>
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
    // The news is about what was just done: the next thing done clears it.
    qApp->installEventFilter(this);
}

void PHMessageLine::placeIn(QBoxLayout *layout, int index) {
    if (!m_space) {
        m_space = new QWidget(parentWidget());
        m_space->setObjectName(objectName() + QStringLiteral("Space"));
        m_space->setAttribute(Qt::WA_TransparentForMouseEvents);
        m_space->installEventFilter(this);
    }
    m_space->setFixedHeight(oneLineHeight());
    layout->insertWidget(index, m_space);
    followSpace();
}

int PHMessageLine::oneLineHeight() const {
    // The tallest of the text's line, a button the news may offer and the close button.
    const QPushButton probe(QStringLiteral("Revert"));
    const int content =
        qMax(qMax(fontMetrics().lineSpacing(), probe.sizeHint().height()), m_close->sizeHint().height());
    const QMargins margins = m_layout->contentsMargins();
    return content + margins.top() + margins.bottom() + 2 * frameWidth();
}

void PHMessageLine::followSpace() {
    if (!m_space)
        return;
    const QRect room = m_space->geometry();
    const int needed = m_layout->hasHeightForWidth() ? m_layout->totalHeightForWidth(room.width()) : 0;
    setGeometry(room.x(), room.y(), room.width(), qMax(room.height(), needed));
    raise();
}

bool PHMessageLine::isNextAction(QObject *watched, QEvent *event) const {
    if (event->type() != QEvent::MouseButtonPress && event->type() != QEvent::KeyPress)
        return false;
    auto *widget = qobject_cast<QWidget *>(watched);
    if (!widget || !isVisible() || widget == this || isAncestorOf(widget) || widget->window() != window())
        return false;
    if (event->type() == QEvent::KeyPress) {
        // Moving about the window and holding a modifier do nothing yet.
        switch (static_cast<QKeyEvent *>(event)->key()) {
        case Qt::Key_Tab:
        case Qt::Key_Backtab:
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Left:
        case Qt::Key_Right:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_Shift:
        case Qt::Key_Control:
        case Qt::Key_Alt:
        case Qt::Key_AltGr:
        case Qt::Key_Meta:
        case Qt::Key_Super_L:
        case Qt::Key_Super_R:
            return false;
        default:
            break;
        }
    }
    return true;
}

bool PHMessageLine::eventFilter(QObject *watched, QEvent *event) {
    if (watched == m_space && (event->type() == QEvent::Move || event->type() == QEvent::Resize))
        followSpace();
    else if (isNextAction(watched, event))
        dismiss();
    return false;
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
    followSpace();
    // Screen readers hear the news without the focus moving.
    QAccessibleEvent event(this, QAccessible::Alert);
    QAccessible::updateAccessibility(&event);
}

QPushButton *PHMessageLine::addButton(const QString &title, const std::function<void()> &action) {
    auto *button = new QPushButton(title, this);
    m_layout->insertWidget(m_layout->indexOf(m_close), button);
    m_buttons.append(button);
    followSpace();
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
    if (m_space && (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)) {
        m_space->setFixedHeight(oneLineHeight());
        followSpace();
    }
}

void PHMessageLine::applyColors() {
    // Colours come from the parent's palette, so a theme change recolours the line.
    const QPalette source = parentWidget() ? parentWidget()->palette() : QPalette();
    QPalette own;
    own.setColor(QPalette::Window, PHThemeColors::backgroundColor(source, m_meaning));
    own.setColor(QPalette::WindowText, source.color(QPalette::WindowText));
    setPalette(own); // Qt sends no change event when nothing changed
}
