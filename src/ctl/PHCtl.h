#pragma once

#include "ctl/PHCtlCommands.h"

#include <QStringList>
#include <QTextStream>

/// portholdctl: the panel's folder, user, group and address edits from a
/// command line, on the same model, settings and files.
namespace PHCtl {

/// Exit statuses.
enum Status {
    Success = 0,
    UsageError = 1,  ///< the command line is malformed; the usage text was shown
    Refused = 2,     ///< the input was refused, with the panel's reason
    Failed = 3,      ///< a file could not be read or written
    Unreachable = 3, ///< verify: the server cannot be reached
    Differs = 4,     ///< verify: the server does not do what was predicted
};

/// Runs one command (the arguments after the program name), printing to
/// standard output and error and reading passwords from standard input.
/// Needs a QCoreApplication.
int run(const QStringList &arguments);
/// The same, printing to `out` and `err` and asking `passwords` for passwords.
int run(const QStringList &arguments, QTextStream &out, QTextStream &err,
        const PHCtlCommands::Passwords &passwords = {});

} // namespace PHCtl
