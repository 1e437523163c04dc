// The panel and portholdctl answer the same input with the same refusal: one
// table of typed user names and passwords, given to the panel's user sheet and
// to "portholdctl user add" on the same web folder, and one of group names,
// given to the panel's group editor and to "portholdctl group add".

#include "UsersUiFixture.h"
#include "ctl/CtlRunner.h"

#include "platform/PHAlertSheet.h"

#include <QLineEdit>

namespace {

class FrontEndsRulesTest : public UsersUiFixture {};

TEST_F(FrontEndsRulesTest, UserSheetAndPortholdctlRefuseAlike) {
    writeUsers({"alice"});
    start();
    struct Case {
        QString name;
        QString password;
    };
    const std::vector<Case> cases = {
        {"ALICE", "pw"},                          // taken, whatever the letter case
        {"valid-user", "pw"},                     // the access-file word for any user
        {"Any Valid User", "pw"},                 // its label
        {"bo\tb", "pw"},                          // blanks inside a name
        {QString::fromUtf8("j\xc3\xb6rg"), "pw"}, // not ASCII
        {"a:b", "pw"},                            // the user file's separator
        {"bob", ""},                              // no password
        {"PORTHOLDED", "pw"},                     // the panel's placeholder
    };
    const QString config = QDir(web).filePath("../ctl-config");
    QDir().mkpath(config);
    for (const Case &c : cases) {
        button("userAddButton")->click();
        settle();
        ASSERT_NE(sheet(), nullptr);
        const QString panel = fillSheet(c.name, c.password, c.password);
        pref->folders()->usersAndGroups()->closeUserSheet();

        const auto ctl = ctl_runner::run({"--root", web.toStdString(), "user", "add", c.name.toStdString()},
                                         config.toStdString(), (c.password + "\n").toStdString());
        EXPECT_EQ(ctl.exitCode, 2) << qPrintable(c.name) << ": " << ctl.err;
        EXPECT_FALSE(panel.isEmpty()) << qPrintable(c.name);
        EXPECT_EQ("portholdctl: " + panel.toStdString() + "\n", ctl.err) << qPrintable(c.name);
    }
    // Nothing refused reached the user file.
    EXPECT_EQ(userLines().size(), 1);
}

// The group editor says why only when the server would misread a name (a
// taken or blank name is simply not accepted there), so the table holds those.
TEST_F(FrontEndsRulesTest, GroupEditorAndPortholdctlRefuseAlike) {
    writeUsers({"alice"});
    writeGroups("staff: alice\n");
    start();
    PHGroupsModel *groups = pref->groups();
    const std::vector<QString> names = {
        "#staff",                         // a comment in the group file
        "o'band",                         // apostrophes
        "back\\slash",                    // backslashes
        "a\"b",                           // quotation marks
        QString::fromUtf8("b\xc3\xa4nd"), // not ASCII
        "bell\x07",                       // a control character
    };
    const QString config = QDir(web).filePath("../ctl-config");
    QDir().mkpath(config);
    for (const QString &name : names) {
        PHAlertSheet::clearRecorded();
        answers = {PHAlertSheet::Default};
        EXPECT_FALSE(groups->acceptsEditedText({}, name)) << qPrintable(name);
        settle();
        ASSERT_EQ(PHAlertSheet::recorded().size(), 1) << qPrintable(name);
        const QString panel = PHAlertSheet::recorded().first().message;

        const auto ctl = ctl_runner::run({"--root", web.toStdString(), "group", "add", name.toStdString()},
                                         config.toStdString());
        EXPECT_EQ(ctl.exitCode, 2) << qPrintable(name) << ": " << ctl.err;
        EXPECT_FALSE(panel.isEmpty()) << qPrintable(name);
        EXPECT_EQ("portholdctl: " + panel.toStdString() + "\n", ctl.err) << qPrintable(name);
    }
    // Nothing refused reached the group file.
    EXPECT_EQ(readFile(groupsFile()).trimmed(), QString("staff: alice"));
}

} // namespace
