#include "ctl/PHCtl.h"

#include "core/Log.h"
#include "core/PHException.h"
#include "ctl/PHCtlArguments.h"
#include "ctl/PHCtlCommands.h"
#include "ctl/PHCtlOutput.h"
#include "ctl/PHHeadlessContext.h"
#include "model/PHGroupsModel.h"
#include "model/PHServerConfigCache.h"
#include "model/PHSettings.h"
#include "model/PHUsersModel.h"
#include "model/PHWebRoot.h"
#include "support/PHExtensions.h"
#include "support/PHSettingsStore.h"
#include "support/PHWebTreeFile.h"
#include "support/PHWriteJournal.h"
#include "support/PHWriteLock.h"

#include <QDir>
#include <QFileInfo>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <utility>

namespace {

using Command = PHCtlInvocation::Command;
using Refusal = PHCtlCommands::Refusal;
using Failure = PHCtlCommands::Failure;

QTextStream &standardOutput() {
    static QTextStream stream(stdout);
    return stream;
}

QTextStream &standardError() {
    static QTextStream stream(stderr);
    return stream;
}

QString quoted(const QString &text) {
    return QLatin1Char('"') + text + QLatin1Char('"');
}

/// The file a changing command rewrites, for "waiting for …" messages.
QString writtenFile(const PHCtlInvocation &invocation) {
    switch (invocation.command) {
    case Command::UserAdd:
    case Command::UserPasswd:
    case Command::UserDel:
        return QStringLiteral(".htusers");
    case Command::GroupAdd:
    case Command::GroupDel:
    case Command::GroupAddMember:
    case Command::GroupRemoveMember:
        return QStringLiteral(".htgroups");
    default:
        return invocation.folder == QLatin1String(".") || invocation.folder.isEmpty()
                   ? QStringLiteral(".htaccess")
                   : invocation.folder + QStringLiteral("/.htaccess");
    }
}

bool isGroupCommand(Command command) {
    return command == Command::GroupAdd || command == Command::GroupDel ||
           command == Command::GroupAddMember || command == Command::GroupRemoveMember ||
           command == Command::GroupList;
}

/// The file a changing command is about, as its journal names it.
QString targetPath(const PHCtlInvocation &invocation, const QString &root) {
    switch (invocation.command) {
    case Command::UserAdd:
    case Command::UserPasswd:
    case Command::UserDel:
        return PHWebRoot::location(root, PHWebRoot::UserFile);
    case Command::GroupAdd:
    case Command::GroupDel:
    case Command::GroupAddMember:
    case Command::GroupRemoveMember:
        return PHWebRoot::location(root, PHWebRoot::GroupFile);
    default:
        return QDir::cleanPath(root + QLatin1Char('/') + writtenFile(invocation));
    }
}

/// One line for the mistake, then where to look: the synopsis of the command
/// that was meant, if any, and the pointer to the full text. The whole usage
/// would bury the one line that matters.
int usageError(QTextStream &out, QTextStream &err, const QString &message, const QStringList &arguments) {
    const bool json = arguments.contains(QStringLiteral("--json"));
    err << "portholdctl: " << message << '\n';
    const QString synopsis = PHCtlArguments::commandUsage(arguments);
    if (!synopsis.isEmpty())
        err << "Usage: " << synopsis << '\n';
    err << "Try 'portholdctl --help' for more information.\n";
    if (json) {
        PHCtlOutput output(out, err, {true, false, false});
        output.set(QStringLiteral("error"), message);
        output.set(QStringLiteral("exit"), PHCtl::UsageError);
        output.flush();
    }
    err.flush();
    return PHCtl::UsageError;
}

} // namespace

namespace PHCtl {

int run(const QStringList &arguments) {
    return run(arguments, standardOutput(), standardError());
}

int run(const QStringList &arguments, QTextStream &out, QTextStream &err,
        const PHCtlCommands::Passwords &passwords) {
    PHCtlInvocation invocation;
    try {
        invocation = PHCtlArguments::parse(arguments);
    } catch (const PHCtlUsageError &error) {
        return usageError(out, err, error.message(), arguments);
    }
    if (invocation.command == Command::Help) {
        out << PHCtlArguments::usage();
        out.flush();
        return Success;
    }
    if (invocation.command == Command::Version) {
        PHHeadlessContext::registerDefaults();
        PHHeadlessContext context(QStringLiteral("/"));
        const QString version = context.bundleInfo().value(QStringLiteral("CFBundleVersion")).toString();
        if (invocation.json)
            out << "{\"version\":\"" << version << "\"}\n";
        else
            out << "portholdctl " << version << '\n';
        out.flush();
        return Success;
    }

    // A dry run writes no file at all, not even the server's kept answers.
    if (invocation.check)
        PHServerConfigCache::setStoring(false);
    PHCtlOutput output(out, err, {invocation.json, invocation.check, invocation.diff});
    const auto refuse = [&output](const QString &message) {
        output.fail({message}, Refused);
        output.flush();
        return Refused;
    };
    PHHeadlessContext::registerDefaults();
    QString root = invocation.root.isEmpty() ? PHHeadlessContext::configuredWebRoot() : invocation.root;
    const QFileInfo rootInfo(root);
    if (root.isEmpty() || !rootInfo.isDir())
        return refuse(root.isEmpty() ? QStringLiteral("No web root is configured")
                                     : QStringLiteral("The web root %1 is not a folder").arg(quoted(root)));
    root = rootInfo.absoluteFilePath();
    if (root.contains(QLatin1Char('\n')) || root.contains(QLatin1Char('\r')))
        return refuse(
            QStringLiteral("A web root whose path contains a line break cannot be named in an access file"));

    PHWebTreeFile::setAttributes(
        {invocation.fileOwner, invocation.fileGroup,
         invocation.fileMode ? std::optional<mode_t>(*invocation.fileMode) : std::optional<mode_t>()});
    PHWriteLock::setWaitingReporter([&err](const QString &message) {
        err << "portholdctl: " << message << '\n';
        err.flush();
    });
    int status = Success;
    try {
        // A changing command holds the web root's lock from its first reading
        // to its last write: other Porthold writers wait, and none loses
        // another's change.
        std::optional<PHWriteLock> lock;
        if (PHCtlArguments::isChanging(invocation.command)) {
            lock.emplace(root, writtenFile(invocation));
            if (lock->timedOut())
                throw Failure{{lock->error()}};
        }
        PHHeadlessContext context(root);
        // A password change, a new user, a password check, the audit, the
        // user list, deleting a user and the group commands work on a plain
        // user file in pieces, as it stands: it is never held whole, as
        // records or as bytes, whatever its size. A sorted file gets a new
        // user in its place through the records.
        std::unique_ptr<PHUserFileStream> userFile;
        const bool sorted = PHSettingsStore::instance()->boolForKey(PHSettings::Key::SortUsers);
        // The commands that write or show the groups need to know which of
        // the names the group file and the command give are users: the
        // group file drops members who are none.
        const bool namesGroups = invocation.command == Command::UserDel || isGroupCommand(invocation.command);
        if (invocation.command == Command::UserList || invocation.command == Command::UserPasswd ||
            invocation.command == Command::UserCheck || invocation.command == Command::UserAudit ||
            (invocation.command == Command::UserAdd && !sorted) || namesGroups) {
            QStringList others;
            if (namesGroups) {
                others = context.groupFileMembers();
                if (invocation.command == Command::UserDel)
                    others.append(PHString::stringByRemovingSurroundingWhitespace(invocation.name));
                others.append(PHString::stringByRemovingSurroundingWhitespace(invocation.member));
                for (const QString &member : invocation.members)
                    others.append(PHString::stringByRemovingSurroundingWhitespace(member));
            }
            const bool userNamed = !isGroupCommand(invocation.command);
            auto file = std::make_unique<PHUserFileStream>(
                context.location(PHWebRoot::Root), context.location(PHWebRoot::UserFile),
                userNamed ? PHString::stringByRemovingSurroundingWhitespace(invocation.name) : QString(),
                others);
            if (file->state() == PHUserFileStream::State::Plain)
                userFile = std::move(file);
        }
        if (!userFile)
            context.load();
        else if (namesGroups)
            context.loadWithoutUserRecords(userFile->usersAmongOthers());
        else
            context.loadWithoutUserRecords();
        // A user or group file that could not be read is never written over,
        // and without it every name would look unknown: stop here.
        if (!context.reportedErrors().isEmpty()) {
            Failure failure;
            for (qsizetype i = 0; i < context.reportedErrors().size(); ++i) {
                const qint32 code = context.reportedErrors().at(i);
                const bool users =
                    code == PHUsersModel::kUserFileReadError || code == PHUsersModel::kUserFileWriteError;
                const QString file = context.location(users ? PHWebRoot::UserFile : PHWebRoot::GroupFile);
                failure.messages.append(context.reportedMessage(i, file));
            }
            throw failure;
        }
        // A changing command keeps a journal of its writes: it writes nothing
        // a file already holds, nothing at all with --check, and says what
        // it changed.
        std::optional<PHWriteJournal::Scope> journal;
        if (PHCtlArguments::isChanging(invocation.command))
            journal.emplace(invocation.check, invocation.diff);
        PHCtlCommands commands(context, output, passwords, std::move(userFile));
        if (const std::optional<int> own = commands.execute(invocation)) {
            status = *own;
            output.set(QStringLiteral("exit"), status);
        }
        if (journal) {
            const QList<PHWriteJournal::Entry> changes = journal->changes();
            // --owner, --group and --mode hold for the command's file even
            // when its bytes needed no change; a file written has them already.
            QStringList attributed;
            const QString target = targetPath(invocation, root);
            const bool written =
                std::any_of(changes.begin(), changes.end(),
                            [&](const PHWriteJournal::Entry &e) { return e.path == target; });
            bool changed = false;
            QString why;
            if (!written && !PHWebTreeFile::applyAttributes(root, target, invocation.check, &changed, &why))
                throw Failure{{why}};
            if (changed)
                attributed.append(target);
            output.finishChange(changes, context.location(PHWebRoot::UserFile), attributed);
        }
    } catch (const Refusal &refusal) {
        output.fail({refusal.message}, Refused);
        status = Refused;
    } catch (const Failure &failure) {
        output.fail(failure.messages, Failed);
        status = Failed;
    } catch (const PHException &exception) {
        output.fail({exception.reason()}, Failed);
        status = Failed;
    }
    if (!output.flush())
        status = Failed;
    PHWriteLock::setWaitingReporter(nullptr);
    PHWebTreeFile::setAttributes({});
    return status;
}

} // namespace PHCtl
