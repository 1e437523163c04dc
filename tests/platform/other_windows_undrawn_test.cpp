// While a window is drawn into a picture, the sheet start-up opens over it is
// not drawn (it is in no picture and on no screen), but it is made and sized
// as ever, and the pictured window is drawn whole.

#include "common/TestApplication.h"
#include "platform/PHAlertSheet.h"
#include "platform/PHOtherWindowsUndrawn.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QTest>
#include <QVBoxLayout>

#include <memory>

namespace {

// Counts the paint events of widgets in windows other than the pictured one.
class OtherPaints : public QObject {
public:
    explicit OtherPaints(const QWidget *pictured) : m_pictured(pictured) {
        QCoreApplication::instance()->installEventFilter(this);
    }
    ~OtherPaints() override { QCoreApplication::instance()->removeEventFilter(this); }
    int count = 0;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override {
        if (event->type() == QEvent::Paint && watched->isWidgetType() &&
            static_cast<QWidget *>(watched)->window() != m_pictured)
            ++count;
        return false;
    }

private:
    const QWidget *m_pictured;
};

struct Shown {
    int otherPaints = 0;
    QSize sheetSize;
    QImage picture;
};

Shown showSheetOver(QWidget &window, bool undrawn) {
    std::unique_ptr<PHOtherWindowsUndrawn> filter;
    if (undrawn)
        filter = std::make_unique<PHOtherWindowsUndrawn>(&window);
    OtherPaints paints(&window);
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Could not connect to server");
    request.message = QStringLiteral("Porthold encountered an error while checking for new versions.");
    PHAlertSheet::begin(&window, request, [](int) {});
    QMessageBox *sheet = PHAlertSheet::current();
    EXPECT_NE(sheet, nullptr);
    QTest::qWait(50);
    Shown shown;
    shown.otherPaints = paints.count;
    if (sheet) {
        EXPECT_TRUE(sheet->isVisible());
        shown.sheetSize = sheet->size();
        sheet->close();
    }
    shown.picture = window.grab().toImage();
    QTest::qWait(10);
    return shown;
}

TEST(OtherWindowsUndrawn, ASheetOverThePicturedWindowIsMadeButNotDrawn) {
    testApplication("other_windows_undrawn_test");
    QWidget window;
    auto *layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel(QStringLiteral("Web folder")));
    window.resize(400, 300);
    window.show();
    QTest::qWait(10);

    const Shown drawn = showSheetOver(window, false);
    EXPECT_GT(drawn.otherPaints, 0) << "an ordinary sheet is drawn when shown";

    const Shown undrawn = showSheetOver(window, true);
    EXPECT_EQ(undrawn.otherPaints, 0);
    EXPECT_EQ(undrawn.sheetSize, drawn.sheetSize) << "made and sized as ever";
    EXPECT_FALSE(undrawn.picture.isNull());
    EXPECT_TRUE(undrawn.picture == drawn.picture) << "the pictured window is drawn as ever";

    // Gone, it leaves other windows alone.
    const Shown after = showSheetOver(window, false);
    EXPECT_GT(after.otherPaints, 0);
}

} // namespace
