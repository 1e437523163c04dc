// The padlock on real widgets (offscreen) with the real helper: as root no
// password is needed, so the helper of the build tree serves without being
// set-user-ID.

#include "common/PrivilegedTestSupport.h"
#include "common/TestApplication.h"
#include "platform/SFAuthorizationView.h"

#include "common/TestPanelContext.h"

#include <QApplication>
#include <QDialog>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>

#include <gtest/gtest.h>

using namespace privileged_test;

namespace {

const std::string kStore = std::string(PORTHOLD_BINARY_DIR) + "/test-authorizations";
const std::string kHelper =
    std::string(PORTHOLD_BINARY_DIR) + "/src/platform/authorization/porthold-authority-test";

struct RecordingDelegate : SFAuthorizationViewDelegate {
    QStringList calls;
    void authorizationViewDidAuthorize(SFAuthorizationView *) override { calls << "authorize"; }
    void authorizationViewDidDeauthorize(SFAuthorizationView *) override { calls << "deauthorize"; }
    void authorizationViewCreatedAuthorization(SFAuthorizationView *) override { calls << "created"; }
};

bool recordExists(const AuthorizationRef &authorization) {
    AuthorizationExternalForm form;
    if (AuthorizationMakeExternalForm(authorization, &form) != errAuthorizationSuccess)
        return false;
    AuthorizationIdentifier identifier;
    std::memcpy(identifier.data(), form.bytes, identifier.size());
    return lstatOf(kStore + "/" + AuthorizationRecordStore::fileName(identifier)).st_mode != 0;
}

class AuthorizationView : public ::testing::Test {
protected:
    static void SetUpTestSuite() { testApplication("authorization_view_test"); }
    void SetUp() override {
        if (!isRoot())
            GTEST_SKIP() << "needs root: the helper of the build tree is not set-user-ID";
        AuthorizationSetHelperPath(kHelper);
        window.resize(400, 100);
        view = new SFAuthorizationView(&window);
        view->setAuthorizationRights(
            {{"com.quillmere.porthold.sentrel", "", 0}, {"com.quillmere.porthold.apachectl", "", 0}});
        view->setDelegate(&delegate);
        window.show();
        padlock = view->findChild<QToolButton *>("padlock");
        ASSERT_NE(padlock, nullptr);
    }
    void TearDown() override {
        SFAuthorizationView::setCredentialsProvider({});
        AuthorizationSetHelperPath({});
    }

    QWidget window;
    SFAuthorizationView *view = nullptr;
    QToolButton *padlock = nullptr;
    RecordingDelegate delegate;
};

} // namespace

TEST_F(AuthorizationView, ClickingLocksAndUnlocksWithTheViewsRights) {
    QString offeredName;
    SFAuthorizationView::setCredentialsProvider(
        [&](SFAuthorizationView *, const QString &defaultName, const QString &) {
            offeredName = defaultName;
            return std::optional<SFAuthorizationView::Credentials>({defaultName, QString()});
        });
    EXPECT_FALSE(view->updateStatus());
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::LockedState);
    EXPECT_EQ(view->statusText(), "Click the padlock to make changes.");

    QTest::mouseClick(padlock, Qt::LeftButton);
    EXPECT_EQ(offeredName, "root");
    EXPECT_EQ(delegate.calls, QStringList({"created", "authorize"}));
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::UnlockedState);
    EXPECT_EQ(view->statusText(), "Click the padlock to prevent further changes.");
    EXPECT_TRUE(view->updateStatus());

    // What the controller keeps carries the view's rights, and exists as a record.
    const AuthorizationRef held = view->authorization();
    ASSERT_TRUE(recordExists(held));
    AuthorizationIdentifier identifier;
    AuthorizationExternalForm form;
    ASSERT_EQ(AuthorizationMakeExternalForm(held, &form), errAuthorizationSuccess);
    std::memcpy(identifier.data(), form.bytes, identifier.size());
    AuthorizationRecordStore store;
    ASSERT_TRUE(store.open(kStore, false, nullptr));
    const std::optional<AuthorizationRecord> record = store.read(identifier);
    ASSERT_TRUE(record);
    EXPECT_EQ(record->rights, view->authorizationRights());
    EXPECT_EQ(record->user, 0u);

    // A second click destroys it; the controller's copy is empty, not dangling.
    QTest::mouseClick(padlock, Qt::LeftButton);
    EXPECT_EQ(delegate.calls, QStringList({"created", "authorize", "deauthorize"}));
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::LockedState);
    EXPECT_FALSE(store.read(identifier));
    EXPECT_EQ(AuthorizationMakeExternalForm(held, &form), errAuthorizationExternalizeNotAllowed);

    // Deauthorizing a locked padlock reports nothing.
    EXPECT_FALSE(view->deauthorize());
    EXPECT_EQ(delegate.calls.size(), 3);

    // Authorize again, then the view goes: its authorization goes with it.
    ASSERT_TRUE(view->authorize());
    const AuthorizationRef second = view->authorization();
    ASSERT_TRUE(recordExists(second));
    ASSERT_EQ(AuthorizationMakeExternalForm(second, &form), errAuthorizationSuccess);
    std::memcpy(identifier.data(), form.bytes, identifier.size());
    delete view;
    EXPECT_FALSE(store.read(identifier));
}

TEST_F(AuthorizationView, CancellingOrAFailingHelperLeavesItLocked) {
    SFAuthorizationView::setCredentialsProvider(
        [](SFAuthorizationView *, const QString &, const QString &) { return std::nullopt; });
    QTest::mouseClick(padlock, Qt::LeftButton);
    EXPECT_TRUE(delegate.calls.isEmpty());
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::LockedState);

    // A name the helper cannot accept: still locked, and the view says why.
    SFAuthorizationView::setCredentialsProvider([](SFAuthorizationView *, const QString &, const QString &) {
        return std::optional<SFAuthorizationView::Credentials>({"-bad name", "x"});
    });
    EXPECT_FALSE(view->authorize());
    EXPECT_TRUE(delegate.calls.isEmpty());
    EXPECT_TRUE(view->statusText().contains("administrator")) << view->statusText().toStdString();

    // No helper at all: the padlock says so and cannot be clicked.
    AuthorizationSetHelperPath("/nonexistent/porthold-authority");
    EXPECT_FALSE(view->updateStatus());
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::UnavailableState);
    EXPECT_FALSE(padlock->isEnabled());
    EXPECT_TRUE(view->statusText().contains("missing")) << view->statusText().toStdString();
    AuthorizationSetHelperPath(kHelper);
    view->updateStatus();
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::LockedState);
    EXPECT_TRUE(padlock->isEnabled());
}

TEST_F(AuthorizationView, ThePadlocksPictureFollowsTheLockEveryTime) {
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    QDir().mkpath(bundle.filePath("Resources"));
    const QString images = QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/images/");
    for (const char *file :
         {"padlock-locked.png", "padlock-locked@2x.png", "padlock-unlocked.png", "padlock-unlocked@2x.png"})
        ASSERT_TRUE(QFile::copy(images + file, bundle.filePath("Resources/") + file));
    TestPanelContext context;
    context.bundle = bundle.path();
    QIcon::setThemeSearchPaths({bundle.filePath("no-themes")});
    QIcon::setThemeName(QStringLiteral("none"));
    const auto shipped = [&](const QString &name) {
        QIcon icon;
        icon.addFile(images + name + ".png");
        icon.addFile(images + name + "@2x.png");
        return icon.pixmap(32, 32).toImage();
    };
    const QImage locked = shipped("padlock-locked");
    const QImage unlocked = shipped("padlock-unlocked");
    ASSERT_FALSE(locked.isNull());
    ASSERT_NE(locked, unlocked);

    SFAuthorizationView second(&window);
    second.setAuthorizationRights({{"com.quillmere.porthold.sentrel", "", 0}});
    SFAuthorizationView::setCredentialsProvider(
        [](SFAuthorizationView *, const QString &name, const QString &) {
            return std::optional<SFAuthorizationView::Credentials>({name, QString()});
        });
    auto *button = second.findChild<QToolButton *>("padlock");
    ASSERT_NE(button, nullptr);
    const auto shown = [&] { return button->icon().pixmap(32, 32).toImage(); };
    EXPECT_EQ(shown(), locked);
    // Each picture is made once and then reused: both states, in both orders, twice.
    for (int round = 0; round < 2; ++round) {
        ASSERT_TRUE(second.authorize());
        EXPECT_EQ(shown(), unlocked) << "round " << round;
        ASSERT_TRUE(second.deauthorize());
        EXPECT_EQ(shown(), locked) << "round " << round;
    }
    // No helper: the padlock shows locked, greyed.
    AuthorizationSetHelperPath("/nonexistent/porthold-authority");
    EXPECT_FALSE(second.updateStatus());
    EXPECT_EQ(second.authorizationState(), SFAuthorizationView::UnavailableState);
    EXPECT_EQ(shown(), locked);
    AuthorizationSetHelperPath(kHelper);
}

TEST_F(AuthorizationView, TheRequestNamesTheRightsAndTheProgram) {
    view->setAuthorizationRights({{"com.quillmere.porthold.sentrel", "", 0},
                                  {"com.quillmere.porthold.apachectl", "", 0},
                                  {kAuthorizationRightExecute, "/opt/Porthold.panel/Sentrel", 0}});
    EXPECT_EQ(view->requestDescription().toStdString(),
              "Porthold wants to run the Apache control script, replace Apache's configuration files and "
              "set up its helper tool /opt/Porthold.panel/Sentrel as root.");
}

TEST_F(AuthorizationView, TheDialogAsksForNameAndPasswordOnTheWindow) {
    QTest::mouseClick(padlock, Qt::LeftButton);
    QDialog *dialog = window.findChild<QDialog *>();
    ASSERT_NE(dialog, nullptr);
    EXPECT_TRUE(dialog->isVisible());
    EXPECT_EQ(dialog->windowModality(), Qt::WindowModal);
    auto *name = dialog->findChild<QLineEdit *>("name");
    auto *password = dialog->findChild<QLineEdit *>("password");
    ASSERT_TRUE(name && password);
    EXPECT_EQ(name->text(), "root");
    EXPECT_EQ(password->echoMode(), QLineEdit::Password);
    EXPECT_FALSE(password->isVisibleTo(dialog)) << "root is asked for no password";
    EXPECT_GE(dialog->minimumWidth(), dialog->fontMetrics().horizontalAdvance(dialog->windowTitle()) + 120)
        << "the title fits";
    // It names what it asks for.
    auto *explanation = dialog->findChild<QLabel *>("explanation");
    ASSERT_NE(explanation, nullptr);
    EXPECT_TRUE(explanation->text().startsWith("Porthold wants to run the Apache control script and replace "
                                               "Apache's configuration files as root."))
        << explanation->text().toStdString();
    EXPECT_TRUE(explanation->text().contains("no password is needed")) << explanation->text().toStdString();

    password->setText("anything: root needs none");
    dialog->findChild<QDialogButtonBox *>()->button(QDialogButtonBox::Ok)->click();
    EXPECT_EQ(delegate.calls, QStringList({"created", "authorize"}));
    EXPECT_EQ(view->authorizationState(), SFAuthorizationView::UnlockedState);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(window.findChild<QDialog *>(), nullptr);
    EXPECT_TRUE(view->deauthorize());
}

TEST(AuthorizationViewIcon, ThePadlockIsDrawnWithoutAThemeFromTheBundle) {
    testApplication("authorization_view_test");
    QTemporaryDir bundle;
    ASSERT_TRUE(bundle.isValid());
    QDir().mkpath(bundle.filePath("Resources"));
    for (const char *file : {"padlock-locked.png", "padlock-locked@2x.png"})
        ASSERT_TRUE(QFile::copy(QStringLiteral(PORTHOLD_SOURCE_DIR "/resources/images/") + file,
                                bundle.filePath("Resources/") + file));
    TestPanelContext context;
    context.bundle = bundle.path();
    // A desktop without an icon theme.
    QIcon::setThemeSearchPaths({bundle.filePath("no-themes")});
    QIcon::setThemeName(QStringLiteral("none"));

    SFAuthorizationView view;
    view.updateStatus();
    auto *padlock = view.findChild<QToolButton *>("padlock");
    ASSERT_NE(padlock, nullptr);
    ASSERT_FALSE(padlock->icon().isNull()) << "the padlock has no picture";
    const QImage image = padlock->icon().pixmap(32, 32).toImage();
    ASSERT_FALSE(image.isNull());
    // The body of the lock is opaque below the middle; the corners stay clear.
    EXPECT_EQ(image.pixelColor(16, 24).alpha(), 255);
    EXPECT_EQ(image.pixelColor(0, 0).alpha(), 0);
}
