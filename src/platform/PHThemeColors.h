#pragma once

#include <QColor>
#include <QPalette>

class QPalette;
class QWidget;

/// Colours for meaning (good news, bad news, a warning) that read well on the
/// current theme: taken from hues everyone knows, with a lightness chosen
/// against the palette's own background, so that a dark theme gets light red
/// and a light theme dark red. Plain text keeps the palette's own roles.
namespace PHThemeColors {

enum class Meaning { Normal, Positive, Negative, Warning, Inactive };

/// The text colour for a meaning on the palette's window background.
QColor textColor(const QPalette &palette, Meaning meaning);
/// A soft background for a message of that meaning, between the window
/// colour and the meaning's hue.
QColor backgroundColor(const QPalette &palette, Meaning meaning);

/// A frame that shows on the palette's Base (an unticked box in a list).
QColor frameColor(const QPalette &palette, QPalette::ColorGroup group = QPalette::Active);

/// Sets the widget's text roles for a meaning; Normal restores the
/// application's palette (so nothing of an earlier meaning stays behind).
void setTextMeaning(QWidget *widget, Meaning meaning);

/// The WCAG contrast ratio of two colours (1 to 21).
double contrastRatio(const QColor &a, const QColor &b);

} // namespace PHThemeColors
