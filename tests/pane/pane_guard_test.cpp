// The prompt that holds actions back while the manual editor has unsaved
// edits: each guarded action with Save, Don't Save and Cancel.

#include "PaneFixture.h"

#include <QAbstractButton>
#include <QDir>
#include <QFile>
#include <QMenu>

namespace {

class PaneGuard : public PaneFixture {
protected:
    void SetUp() override {
        PaneFixture::SetUp();
        writeFile(web + "/private/.htaccess", "AuthType Basic\nAuthName \"Protected\"\nRequire valid-user\n");
        start();
        clickFolder(folder("private"));
        ASSERT_EQ(pref->selectedItem(), folder("private"));
    }

    void chooseMode(PHFSItem *item, int mode) {
        PHOutlineView *view = outline();
        const QModelIndex index = indexOf(view, item, view->columnForIdentifier("protect"));
        QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, view->visualRect(index).center());
        settle();
        auto *menu = pref->mainView()->findChild<QMenu *>("directoryMenu");
        ASSERT_NE(menu, nullptr);
        ASSERT_TRUE(menu->isVisible());
        menu->actions().at(mode)->trigger();
        menu->hide();
        settle();
    }

    QString privateFile() const { return readFile(web + "/private/.htaccess"); }
    int promptsShown() const {
        int count = 0;
        for (const auto &request : PHAlertSheet::recorded())
            count += request.title == "Do you want to save manual editor changes?";
        return count;
    }
};

TEST_F(PaneGuard, LeavingWithUnsavedEditsAsksAndFollowsTheAnswer) {
    std::optional<bool> reply;
    pref->setShouldUnselectReply([&](bool may) { reply = may; });

    // Cancel: the panel stays, nothing is written.
    typeIntoEditor("# note\n");
    answers = {PHAlertSheet::Other};
    EXPECT_EQ(pref->shouldUnselect(), PHPreferencePane::UnselectLater);
    settle();
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(*reply);
    EXPECT_TRUE(pref->hasUnsavedEdits());
    const auto &request = PHAlertSheet::recorded().last();
    EXPECT_EQ(request.defaultButton, "Save");
    EXPECT_EQ(request.alternateButton, "Don't Save");
    EXPECT_EQ(request.otherButton, "Cancel");
    EXPECT_EQ(request.message,
              "If you do not save your manual editor changes, they will be lost when performing this action");

    // Don't Save: leaves without writing the access file.
    const QString before = privateFile();
    reply.reset();
    answers = {PHAlertSheet::Alternate};
    EXPECT_EQ(pref->shouldUnselect(), PHPreferencePane::UnselectLater);
    settle();
    ASSERT_TRUE(reply.has_value());
    EXPECT_TRUE(*reply);
    EXPECT_FALSE(pref->hasUnsavedEdits());
    EXPECT_EQ(privateFile(), before);

    // Save: the edit reaches the file, then the panel may go.
    typeIntoEditor("# kept by hand\n");
    reply.reset();
    answers = {PHAlertSheet::Default};
    pref->shouldUnselect();
    settle();
    EXPECT_TRUE(reply.value_or(false));
    EXPECT_TRUE(privateFile().contains("# kept by hand"));
    EXPECT_TRUE(privateFile().contains("\nRequire valid-user"));

    // Nothing unsaved: no prompt at all.
    const int prompts = promptsShown();
    EXPECT_EQ(pref->shouldUnselect(), PHPreferencePane::UnselectNow);
    EXPECT_EQ(promptsShown(), prompts);
}

TEST_F(PaneGuard, ASaveThatFailsKeepsTheTextAndStays) {
    std::optional<bool> reply;
    pref->setShouldUnselectReply([&](bool may) { reply = may; });
    auto *editor = child<QPlainTextEdit>("customViewText");

    // Something else takes the access file's place: the panel will not
    // replace what it cannot read.
    typeIntoEditor("# mine\n");
    const QString typed = editor->toPlainText();
    ASSERT_TRUE(QFile::remove(web + "/private/.htaccess"));
    ASSERT_TRUE(QDir().mkdir(web + "/private/.htaccess"));
    const QString before = privateFile();
    answers = {PHAlertSheet::Default, PHAlertSheet::Default};
    EXPECT_EQ(pref->shouldUnselect(), PHPreferencePane::UnselectLater);
    settle();
    ASSERT_TRUE(reply.has_value());
    EXPECT_FALSE(*reply) << "a failed save answers as Cancel";
    EXPECT_TRUE(pref->hasUnsavedEdits());
    EXPECT_EQ(editor->toPlainText(), typed);
    EXPECT_EQ(privateFile(), before);
    ASSERT_EQ(PHAlertSheet::recorded().size(), 2);
    EXPECT_TRUE(PHAlertSheet::recorded().last().message.contains(".htaccess"));

    // A refresh waits too, and the folder stays selected.
    answers = {PHAlertSheet::Default, PHAlertSheet::Default};
    pref->folders()->refresh();
    settle();
    EXPECT_EQ(pref->selectedItem(), folder("private"));
    EXPECT_EQ(editor->toPlainText(), typed);
    EXPECT_TRUE(pref->hasUnsavedEdits());

    // The Save button alone: same.
    auto *save = child<QAbstractButton>("customSaveButton");
    answers = {PHAlertSheet::Default};
    save->click();
    settle();
    EXPECT_EQ(editor->toPlainText(), typed);
    EXPECT_TRUE(pref->hasUnsavedEdits());
    EXPECT_TRUE(save->isEnabled());
    EXPECT_EQ(privateFile(), before);
    EXPECT_TRUE(answers.empty());
}

TEST_F(PaneGuard, ModeChangeWaitsForTheAnswerThenApplies) {
    PHFSItem *item = folder("private");
    typeIntoEditor("# note\n");

    answers = {PHAlertSheet::Other};
    chooseMode(item, 2);
    EXPECT_EQ(item->modeIndex(), 1) << "Cancel changes nothing";
    EXPECT_FALSE(privateFile().contains("\nDeny from "));
    EXPECT_TRUE(pref->hasUnsavedEdits());

    answers = {PHAlertSheet::Alternate};
    chooseMode(item, 2);
    EXPECT_EQ(item->modeIndex(), 2) << "Don't Save applies the same choice";
    EXPECT_TRUE(privateFile().contains("\nDeny from portholded"));
    EXPECT_FALSE(privateFile().contains("# note"));
    EXPECT_FALSE(pref->hasUnsavedEdits());

    typeIntoEditor("# saved first\n");
    answers = {PHAlertSheet::Default};
    chooseMode(item, 4);
    EXPECT_EQ(item->modeIndex(), 4);
    EXPECT_TRUE(privateFile().contains("# saved first"));
    EXPECT_TRUE(privateFile().contains("\nSatisfy all"));
}

TEST_F(PaneGuard, FolderClickKeepsTheOldSelectionUntilConfirmed) {
    PHFSItem *other = folder("lan");
    typeIntoEditor("# note\n");

    answers = {PHAlertSheet::Other};
    clickFolder(other);
    EXPECT_EQ(selectedFolder(outline()), folder("private"));
    EXPECT_EQ(pref->selectedItem(), folder("private"));

    answers = {PHAlertSheet::Alternate};
    clickFolder(other);
    EXPECT_EQ(selectedFolder(outline()), other) << "the confirmed action selects the clicked row";
    EXPECT_EQ(pref->selectedItem(), other);
    EXPECT_EQ(child<QPlainTextEdit>("customViewText")->toPlainText(), QString());

    // The delete button of another row does nothing while the guard holds the selection.
    clickFolder(folder("private"));
    typeIntoEditor("# again\n");
    answers = {PHAlertSheet::Other};
    PHOutlineView *view = outline();
    writeFile(web + "/lan/.htaccess", "Deny from all\n");
    pref->folders()->protection()->select(); // ignored while edits are unsaved
    emit view->buttonClicked("delete", indexOf(view, other));
    settle();
    EXPECT_TRUE(QFile::exists(web + "/lan/.htaccess"));
    EXPECT_EQ(pref->selectedItem(), folder("private"));
}

TEST_F(PaneGuard, RootSwitchWaitsWithThePopUpOnTheOldRoot) {
    const QString other = web + "/open";
    preset("Web Dir", web); // unchanged: the custom root stays the same folder
    auto *popup = child<QComboBox>("webDirFolder");
    ASSERT_EQ(popup->currentIndex(), 2);
    typeIntoEditor("# note\n");

    answers = {PHAlertSheet::Other};
    popup->setCurrentIndex(1);
    pref->folders()->webRoot()->choose(popup->currentIndex());
    settle();
    EXPECT_EQ(popup->currentIndex(), 2) << "the pop-up goes back to the old root";
    EXPECT_EQ(PHSettingsStore::instance()->integerForKey("Porthold Protected Folder"), 2);
    EXPECT_EQ(pref->files()->rootPath(), web);

    answers = {PHAlertSheet::Alternate};
    popup->setCurrentIndex(1);
    pref->folders()->webRoot()->choose(popup->currentIndex());
    settle();
    EXPECT_EQ(PHSettingsStore::instance()->integerForKey("Porthold Protected Folder"), 1);
    EXPECT_EQ(pref->files()->rootPath(), pref->location(PHWebRoot::Root));
    EXPECT_EQ(pref->selectedItem(), nullptr) << "nothing of the old tree stays selected";
    (void)other;
}

TEST_F(PaneGuard, OneQuestionAtATime) {
    typeIntoEditor("# note\n");
    // The first request shows the prompt; a second one while it is open is dropped.
    answers = {PHAlertSheet::Other};
    pref->folders()->refresh();
    pref->folders()->refresh();
    settle();
    EXPECT_EQ(promptsShown(), 1);
    // While a prompt is open the host is told to stay rather than wait forever.
    answers = {PHAlertSheet::Other};
    pref->folders()->refresh();
    EXPECT_EQ(pref->shouldUnselect(), PHPreferencePane::UnselectCancel);
    settle();
}

} // namespace
