// The panel and portholdctl answer the same input with the same refusal: one
// table of typed user names and passwords, given to the panel's user sheet and
// to "portholdctl user add" on the same web folder.

#include "UsersUiFixture.h"
#include "ctl/CtlRunner.h"

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
        pref->closeNewUser(nullptr);

        const auto ctl = ctl_runner::run({"--root", web.toStdString(), "user", "add", c.name.toStdString()},
                                         config.toStdString(), (c.password + "\n").toStdString());
        EXPECT_EQ(ctl.exitCode, 2) << qPrintable(c.name) << ": " << ctl.err;
        EXPECT_FALSE(panel.isEmpty()) << qPrintable(c.name);
        EXPECT_EQ("portholdctl: " + panel.toStdString() + "\n", ctl.err) << qPrintable(c.name);
    }
    // Nothing refused reached the user file.
    EXPECT_EQ(userLines().size(), 1);
}

} // namespace
