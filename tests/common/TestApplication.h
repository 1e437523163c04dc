#pragma once

#include <QApplication>

#include <string>

/// The one QApplication of a test program, made on first use under the name
/// of that first call, and never destroyed: at exit Qt's own statics may
/// already be gone.
inline QApplication &testApplication(const char *programName) {
    static std::string name = programName;
    static int argc = 1;
    static char *argv[] = {name.data(), nullptr};
    static QApplication *app = new QApplication(argc, argv);
    return *app;
}
