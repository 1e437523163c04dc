#include "platform/PHThemeColors.h"

#include <QApplication>
#include <QPalette>
#include <QWidget>

#include <cmath>

namespace PHThemeColors {
namespace {

double channel(double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
}

double luminance(const QColor &color) {
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

int hueOf(Meaning meaning) {
    switch (meaning) {
    case Meaning::Positive:
        return 120;
    case Meaning::Negative:
        return 0;
    case Meaning::Warning:
        return 35;
    default:
        return -1;
    }
}

QColor mix(const QColor &a, const QColor &b, double shareOfA) {
    return QColor::fromRgbF(float(a.redF() * shareOfA + b.redF() * (1 - shareOfA)),
                            float(a.greenF() * shareOfA + b.greenF() * (1 - shareOfA)),
                            float(a.blueF() * shareOfA + b.blueF() * (1 - shareOfA)));
}

bool isDark(const QPalette &palette) {
    return luminance(palette.color(QPalette::Window)) < 0.18;
}

} // namespace

double contrastRatio(const QColor &a, const QColor &b) {
    const double first = luminance(a) + 0.05;
    const double second = luminance(b) + 0.05;
    return first > second ? first / second : second / first;
}

QColor textColor(const QPalette &palette, Meaning meaning) {
    const QColor background = palette.color(QPalette::Window);
    if (meaning == Meaning::Normal)
        return palette.color(QPalette::WindowText);
    if (meaning == Meaning::Inactive) // receding, yet readable (some themes' disabled text is not)
        return mix(palette.color(QPalette::WindowText), background, 0.6);
    // Walk the lightness away from the background until the text reads
    // (contrast 4.5, the usual threshold for body text).
    const bool dark = isDark(palette);
    QColor color;
    for (int lightness = dark ? 150 : 110; lightness >= 0 && lightness <= 255; lightness += dark ? 10 : -10) {
        color = QColor::fromHsl(hueOf(meaning), 200, lightness);
        if (contrastRatio(color, background) >= 4.5)
            break;
    }
    return color;
}

QColor frameColor(const QPalette &palette, QPalette::ColorGroup group) {
    return mix(palette.color(group, QPalette::Text), palette.color(group, QPalette::Base), 0.55);
}

QColor backgroundColor(const QPalette &palette, Meaning meaning) {
    const QColor window = palette.color(QPalette::Window);
    const QColor tint = meaning == Meaning::Normal || meaning == Meaning::Inactive
                            ? palette.color(QPalette::Highlight)
                            : QColor::fromHsl(hueOf(meaning), 200, 128);
    return mix(tint, window, 0.22);
}

void setTextMeaning(QWidget *widget, Meaning meaning) {
    if (!widget)
        return;
    widget->setStyleSheet(QString());
    // Only the text roles are set; everything else follows the theme.
    QPalette palette;
    if (meaning != Meaning::Normal) {
        const QPalette inherited =
            widget->parentWidget() ? widget->parentWidget()->palette() : QApplication::palette(widget);
        const QColor color = textColor(inherited, meaning);
        palette.setColor(QPalette::WindowText, color);
        palette.setColor(QPalette::Text, color);
    }
    widget->setPalette(palette);
}

} // namespace PHThemeColors
