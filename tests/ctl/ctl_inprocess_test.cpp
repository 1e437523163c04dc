// portholdctl's commands called in the test's own process: answers captured
// from the streams it is given, passwords handed in by the test.

#include "ctl/PHCtl.h"
#include "support/PHSettingsStore.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <gtest/gtest.h>

namespace {

class CtlInProcess : public ::testing::Test {
protected:
    void SetUp() override {
        static int argc = 1;
        static char name[] = "ctl_inprocess_test";
        static char *argv[] = {name, nullptr};
        if (!QCoreApplication::instance())
            new QCoreApplication(argc, argv);
        ASSERT_TRUE(m_temp.isValid());
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_temp.filePath("config")));
        PHSettingsStore::resetInstanceForTesting();
        root = m_temp.filePath("web");
        ASSERT_TRUE(QDir().mkpath(root + "/private"));
    }
    void TearDown() override { PHSettingsStore::resetInstanceForTesting(); }

    /// Runs a command; `password` answers both questions, absent when none can be read.
    int run(QStringList arguments, std::optional<QString> password = QStringLiteral("secret")) {
        out.clear();
        err.clear();
        QTextStream outStream(&out);
        QTextStream errStream(&err);
        arguments.prepend(root);
        arguments.prepend(QStringLiteral("--root"));
        prompts.clear();
        const int status = PHCtl::run(
            arguments, outStream, errStream,
            {[&](const QString &prompt, const QString &) -> std::optional<PHPasswordReader::Entry> {
                prompts.append(prompt);
                if (!password)
                    return std::nullopt;
                return PHPasswordReader::Entry{*password, *password};
            }});
        outStream.flush();
        errStream.flush();
        return status;
    }

    QString readUsers() const {
        QFile file(root + "/.htusers");
        return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
    }

    QString root;
    QString out;
    QString err;
    QStringList prompts;

private:
    QTemporaryDir m_temp;
};

TEST_F(CtlInProcess, CommandsAnswerThroughTheGivenStreams) {
    EXPECT_EQ(run({"user", "add", "bob"}), PHCtl::Success) << qPrintable(err);
    EXPECT_EQ(prompts, QStringList{"Password for bob: "});
    // One record with a hash, never the password itself.
    const QStringList lines = readUsers().split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << qPrintable(readUsers());
    EXPECT_TRUE(lines.first().startsWith("bob:")) << qPrintable(readUsers());
    EXPECT_GT(lines.first().size(), 4 + 10);
    EXPECT_FALSE(lines.first().contains("secret"));

    EXPECT_EQ(run({"group", "add", "staff", "--member", "bob"}), PHCtl::Success) << qPrintable(err);
    EXPECT_EQ(run({"group", "list"}), PHCtl::Success);
    EXPECT_EQ(out, "staff: bob\n");
    EXPECT_TRUE(err.isEmpty()) << qPrintable(err);
}

TEST_F(CtlInProcess, RefusalsAndUnreadablePasswordsAreReportedNotWritten) {
    EXPECT_EQ(run({"group", "add", "my staff"}), PHCtl::Refused);
    EXPECT_EQ(err, "portholdctl: Group names cannot contain spaces, tabs, or line returns\n");

    // The name is refused before any password is asked for.
    EXPECT_EQ(run({"user", "add", "a:b"}), PHCtl::Refused);
    EXPECT_TRUE(prompts.isEmpty());
    EXPECT_EQ(err, "portholdctl: Usernames can only contain printable ASCII characters, and no \":\"\n");

    EXPECT_EQ(run({"user", "add", "carol"}, std::nullopt), PHCtl::Failed);
    EXPECT_EQ(err, "portholdctl: The password could not be read from standard input\n");
    EXPECT_EQ(readUsers(), QString());
}

} // namespace
