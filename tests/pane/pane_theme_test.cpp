// The panel in a light and a dark theme: the status text and an unticked
// check box must stand out from what is behind them (measured on the pixels
// of the rendered window), and nothing keeps a colour of the other theme.

#include "PaneFixture.h"

#include "platform/PHThemeColors.h"

#include <QLabel>
#include <QPalette>
#include <QStyle>
#include <QStyleFactory>

#include <map>

namespace {

QPalette darkPalette() {
    QPalette palette;
    const QColor window(0x2b, 0x2b, 0x2b), base(0x1e, 0x1e, 0x1e), text(0xe6, 0xe6, 0xe6);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::WindowText, text);
    palette.setColor(QPalette::Base, base);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Text, text);
    palette.setColor(QPalette::Button, window);
    palette.setColor(QPalette::ButtonText, text);
    palette.setColor(QPalette::Highlight, QColor(0x3d, 0xae, 0xe9));
    palette.setColor(QPalette::HighlightedText, Qt::white);
    palette.setColor(QPalette::Light, QColor(0x40, 0x40, 0x40));
    palette.setColor(QPalette::Midlight, QColor(0x38, 0x38, 0x38));
    palette.setColor(QPalette::Mid, QColor(0x25, 0x25, 0x25));
    palette.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
    palette.setColor(QPalette::Shadow, Qt::black);
    palette.setColor(QPalette::Disabled, QPalette::WindowText, QColor(0x80, 0x80, 0x80));
    palette.setColor(QPalette::Disabled, QPalette::Text, QColor(0x80, 0x80, 0x80));
    return palette;
}

/// The colour most pixels of the picture have: what is behind the content.
QColor background(const QImage &image) {
    std::map<QRgb, int> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    return QColor(std::max_element(counts.begin(), counts.end(), [](auto a, auto b) {
                      return a.second < b.second;
                  })->first);
}

/// The strongest contrast of any pixel of the picture against its background.
double strongestContrast(const QImage &image) {
    const QColor behind = background(image);
    double best = 1.0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            best = std::max(best, PHThemeColors::contrastRatio(QColor(image.pixel(x, y)), behind));
    return best;
}

class PaneTheme : public PaneFixture, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        PaneFixture::SetUp();
        m_style = QApplication::style()->name();
        m_palette = QApplication::palette();
        QApplication::setStyle(QStyleFactory::create("Fusion"));
        QApplication::setPalette(GetParam() ? darkPalette() : QApplication::style()->standardPalette());
    }
    void TearDown() override {
        PaneFixture::TearDown();
        QApplication::setStyle(QStyleFactory::create(m_style));
        QApplication::setPalette(m_palette);
    }
    QString m_style;
    QPalette m_palette;
};

TEST_P(PaneTheme, StatusTextAndAnUntickedCheckBoxStandOut) {
    writeFile(web + "/.htusers", "alice:xyz\nbob:xyz\n");
    writeFile(web + "/private/.htaccess",
              "AuthType Basic\nAuthName \"P\"\nAuthUserFile \"" + web + "/.htusers\"\nRequire user alice\n");
    start();
    clickFolder(folder("private"));
    window->grab(); // lays out and paints once

    // The status line: bad news (the server is not managed here) and good news.
    auto *status = child<QLabel>("portholdStatus");
    ASSERT_NE(status, nullptr);
    for (const auto meaning : {PHThemeColors::Meaning::Inactive, PHThemeColors::Meaning::Negative,
                               PHThemeColors::Meaning::Positive, PHThemeColors::Meaning::Normal}) {
        PHThemeColors::setTextMeaning(status, meaning);
        status->setText("Apache status: Running");
        const QImage text = status->grab().toImage();
        // Inactive text is meant to recede, yet stay readable.
        const double wanted = meaning == PHThemeColors::Meaning::Inactive ? 2.5 : 4.0;
        EXPECT_GE(strongestContrast(text), wanted)
            << "meaning " << int(meaning) << (GetParam() ? " dark" : " light");
    }

    // bob is not ticked for "private": his check box must still show.
    auto *users = child<PHTableView>("userTable");
    ASSERT_NE(users, nullptr);
    int bobRow = -1;
    for (int row = 0; row < users->model()->rowCount(); ++row)
        if (users->model()->index(row, 1).data().toString() == "bob")
            bobRow = row;
    ASSERT_GE(bobRow, 0);
    const QModelIndex check = users->model()->index(bobRow, 0);
    ASSERT_EQ(check.data(Qt::CheckStateRole).toInt(), Qt::Unchecked);
    users->clearSelection();
    const QImage cell = users->viewport()->grab(users->visualRect(check)).toImage();
    EXPECT_GE(strongestContrast(cell), 3.0)
        << "an unticked box disappears" << (GetParam() ? " in dark" : " in light");
}

INSTANTIATE_TEST_SUITE_P(LightAndDark, PaneTheme, ::testing::Values(false, true),
                         [](const auto &info) { return info.param ? "Dark" : "Light"; });

} // namespace
