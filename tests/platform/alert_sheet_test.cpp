// An alert sheet shows its title and message exactly as given: names quoted
// in them come from files and from users, and one that looks like markup is
// neither formatted nor turned into a link. It is sized once, and looks as
// a message box set up the same way and left to size itself does.

#include "common/TestApplication.h"
#include "platform/PHAlertSheet.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QWidget>

#include <functional>

namespace {

// Sheets open over a shown window the size of the panel's.
class AlertSheet : public ::testing::Test {
protected:
    AlertSheet() {
        window.resize(820, 620);
        window.show();
    }
    QApplication &application = testApplication("alert_sheet_test"); // before any widget
    QWidget window;
};

TEST_F(AlertSheet, ShowsTitleAndMessageAsTheyAre) {
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

// Counts the layout requests a box receives: each one makes it measure its
// texts again.
class LayoutRequestCounter : public QObject {
public:
    int count = 0;

protected:
    bool eventFilter(QObject *, QEvent *event) override {
        if (event->type() == QEvent::LayoutRequest)
            ++count;
        return false;
    }
};

// The sheet the launch update check shows on a machine without network.
PHAlertSheet::Request connectionRequest() {
    PHAlertSheet::Request request;
    request.title = QStringLiteral("Could not connect to server");
    request.message =
        QStringLiteral("Porthold encountered an error while checking for new versions. Please check "
                       "your internet connection or try again later.\n\n'updates.example.org' could "
                       "not be found");
    return request;
}

TEST_F(AlertSheet, IsSizedOnceWhenShown) {
    const PHAlertSheet::Request request = connectionRequest();
    PHAlertSheet::begin(&window, request, [](int) {});
    QMessageBox *box = PHAlertSheet::current();
    ASSERT_NE(box, nullptr);
    ASSERT_TRUE(box->isVisible());
    LayoutRequestCounter counter;
    box->installEventFilter(&counter);
    QTest::qWait(50);
    EXPECT_EQ(counter.count, 0) << "the shown box was asked to lay itself out again";
    box->removeEventFilter(&counter);
    box->close();
}

QString placeOf(const QRect &rect) {
    return QStringLiteral("%1x%2+%3+%4").arg(rect.width()).arg(rect.height()).arg(rect.x()).arg(rect.y());
}

struct Look {
    QImage picture;
    QString geometry;
    QStringList parts;
    QStringList texts;
    bool selectable = true;
    QString focus;
};

Look lookOf(QMessageBox *box) {
    QTest::qWait(50); // whatever the box does after it is shown
    Look look;
    look.picture = box->grab().toImage();
    look.geometry = placeOf(box->geometry());
    for (QWidget *part : box->findChildren<QWidget *>()) {
        look.parts.append(part->objectName() + QLatin1Char(' ') +
                          (part->isVisible() ? placeOf(part->geometry()) : QStringLiteral("hidden")));
        if (auto *label = qobject_cast<QLabel *>(part)) {
            look.texts.append(label->text());
            if (!label->text().isEmpty())
                look.selectable =
                    look.selectable && (label->textInteractionFlags() & Qt::TextSelectableByMouse);
        }
        if (auto *button = qobject_cast<QAbstractButton *>(part))
            look.texts.append(button->text());
    }
    if (QWidget *focus = QApplication::focusWidget())
        look.focus = QString::fromLatin1(focus->metaObject()->className()) + QLatin1Char(' ') +
                     focus->objectName() + QLatin1Char(' ') +
                     (qobject_cast<QAbstractButton *>(focus) ? qobject_cast<QAbstractButton *>(focus)->text()
                                                             : QString());
    return look;
}

// The sheet's box left to size itself, as a message box does on its own.
QMessageBox *plainBox(QWidget *window, const PHAlertSheet::Request &request) {
    QMessageBox *box = PHAlertSheet::makeBox(window, request);
    box->open();
    return box;
}

TEST_F(AlertSheet, LooksAsAPlainMessageBoxDoes) {
    QList<PHAlertSheet::Request> requests;
    requests.append(connectionRequest());
    {
        // A title wider than the box likes to be, three buttons, news.
        PHAlertSheet::Request request;
        request.title =
            QStringLiteral("The folder \"/var/www/html/a rather long folder name/and another one\" "
                           "has unsaved changes to its access file");
        request.message = QStringLiteral("Save them before closing?");
        request.defaultButton = QStringLiteral("Save");
        request.alternateButton = QStringLiteral("Don't Save");
        request.otherButton = QStringLiteral("Cancel");
        request.informational = true;
        requests.append(request);
    }
    {
        // A word wider than the screen: wrapped anywhere.
        PHAlertSheet::Request request;
        request.title = QStringLiteral("Could not read the file");
        request.message =
            QStringLiteral("/srv/") + QString(160, QLatin1Char('x')) + QStringLiteral("/.htaccess");
        requests.append(request);
    }
    {
        PHAlertSheet::Request request;
        request.title = QStringLiteral("A title alone");
        requests.append(request);
    }

    for (const PHAlertSheet::Request &request : requests) {
        SCOPED_TRACE(request.title.toStdString());
        PHAlertSheet::begin(&window, request, [](int) {});
        QMessageBox *sheet = PHAlertSheet::current();
        ASSERT_NE(sheet, nullptr);
        const Look ours = lookOf(sheet);
        sheet->close();
        QTest::qWait(10);

        QMessageBox *plain = plainBox(&window, request);
        const Look theirs = lookOf(plain);
        plain->close();
        QTest::qWait(10);

        EXPECT_EQ(ours.geometry.toStdString(), theirs.geometry.toStdString());
        EXPECT_EQ(ours.parts.join(QStringLiteral(", ")).toStdString(),
                  theirs.parts.join(QStringLiteral(", ")).toStdString());
        EXPECT_EQ(ours.texts, theirs.texts);
        EXPECT_EQ(ours.focus.toStdString(), theirs.focus.toStdString());
        EXPECT_TRUE(ours.selectable) << "the texts can be selected and copied";
        EXPECT_TRUE(ours.picture == theirs.picture) << "the sheet is drawn differently";
    }
}

// The code the callback gets is the button's part in the sheet: the
// default, the alternate ("Don't Save") and the other one, which Escape
// also answers; a single button answers Escape too.
TEST_F(AlertSheet, AnswersWithTheButtonsPart) {
    PHAlertSheet::Request three;
    three.title = QStringLiteral("Save changes?");
    three.defaultButton = QStringLiteral("Save");
    three.alternateButton = QStringLiteral("Don't Save");
    three.otherButton = QStringLiteral("Cancel");
    PHAlertSheet::Request one;
    one.title = QStringLiteral("Done");

    const auto answer = [this](const PHAlertSheet::Request &request,
                               const std::function<void(QMessageBox *)> &act) {
        int code = 99;
        PHAlertSheet::begin(&window, request, [&code](int answered) { code = answered; });
        QMessageBox *box = PHAlertSheet::current();
        if (!box)
            return 98;
        QTest::qWait(10);
        act(box);
        QTest::qWait(10);
        return code;
    };
    const auto click = [](const char *text) {
        return [text](QMessageBox *box) {
            for (QAbstractButton *button : box->buttons())
                if (button->text() == QLatin1String(text))
                    button->click();
        };
    };
    const auto escape = [](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); };

    EXPECT_EQ(answer(three, click("Save")), PHAlertSheet::Default);
    EXPECT_EQ(answer(three, click("Don't Save")), PHAlertSheet::Alternate);
    EXPECT_EQ(answer(three, click("Cancel")), PHAlertSheet::Other);
    EXPECT_EQ(answer(three, escape), PHAlertSheet::Other);
    EXPECT_EQ(answer(one, click("OK")), PHAlertSheet::Default);
    EXPECT_EQ(answer(one, escape), PHAlertSheet::Default);
}

} // namespace
