// An alert sheet shows its title and message exactly as given: names quoted
// in them come from files and from users, and one that looks like markup is
// neither formatted nor turned into a link.

#include "common/TestApplication.h"
#include "platform/PHAlertSheet.h"

#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <QWidget>

namespace {

TEST(AlertSheet, ShowsTitleAndMessageAsTheyAre) {
    testApplication("alert_sheet_test");
    QWidget window;
    window.resize(400, 300);
    window.show();

    PHAlertSheet::Request request;
    request.title = QStringLiteral("\"<b>eve</b>\" Is Still Allowed in Some Folders");
    request.message = QStringLiteral("<a href=\"https://example.org/\">here</a> &lt;tag&gt; stays as typed");
    PHAlertSheet::begin(&window, request, [](int) {});
    QMessageBox *box = PHAlertSheet::current();
    ASSERT_NE(box, nullptr);

    // What a reader selects and copies is what the label shows.
    const auto shown = [box](const char *name) {
        auto *label = box->findChild<QLabel *>(QLatin1String(name));
        if (!label)
            return QStringLiteral("(no label %1)").arg(QLatin1String(name));
        label->setSelection(0, int(label->text().size()));
        return label->selectedText();
    };
    EXPECT_EQ(shown("qt_msgbox_label").toStdString(), request.title.toStdString());
    EXPECT_EQ(shown("qt_msgbox_informativelabel").toStdString(), request.message.toStdString());
    box->close();
}

} // namespace
