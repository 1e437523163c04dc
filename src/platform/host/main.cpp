// porthold: the settings host. Opens a window, loads a panel bundle (by
// default the Porthold panel next to this program) and drives its lifecycle.

#include "platform/PHEventLoopIdle.h"
#include "platform/PHOtherWindowsUndrawn.h"
#include "platform/PHStartupHeap.h"
#include "platform/host/PHSettingsHost.h"
#include "support/PHBundleLocation.h"

#include <QApplication>
#include <QCommandLineParser>
#include <QFileInfo>
#include <QMessageBox>
#include <QTabWidget>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <optional>

namespace {

bool haveDisplay() {
    const char *platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && *platform)
        return true; // the caller chose a platform (offscreen, xcb, wayland...)
    const char *x = std::getenv("DISPLAY");
    const char *wayland = std::getenv("WAYLAND_DISPLAY");
    return (x && *x) || (wayland && *wayland);
}

QString screenshotArgument(int argc, char **argv) {
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == QLatin1String("--screenshot") && i + 1 < argc)
            return QString::fromLocal8Bit(argv[i + 1]);
        if (arg.startsWith(QLatin1String("--screenshot=")))
            return arg.mid(13);
    }
    return {};
}

} // namespace

int main(int argc, char **argv) {
    // A child that ends early must not take the panel down with it.
    std::signal(SIGPIPE, SIG_IGN);
    // Before anything sizeable is allocated; undone once start-up has settled.
    PHStartupHeap::begin();

    const bool screenshot = !screenshotArgument(argc, argv).isEmpty();
    if (!haveDisplay()) {
        if (screenshot) {
            qputenv("QT_QPA_PLATFORM", "offscreen");
        } else {
            std::fputs("porthold: no display to open a window on.\n"
                       "  Run it in a desktop session, over ssh with X forwarding (ssh -X),\n"
                       "  or under a virtual display: xvfb-run porthold\n"
                       "  To render the panel into a picture instead: porthold --screenshot FILE.png\n",
                       stderr);
            return 1;
        }
    }

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("porthold"));
    QApplication::setApplicationDisplayName(QStringLiteral("Porthold"));
    QApplication::setDesktopFileName(QStringLiteral("porthold"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Porthold settings host: protects folders of the Apache web tree."));
    parser.addHelpOption();
    const QCommandLineOption screenshotOption(
        QStringLiteral("screenshot"),
        QStringLiteral("Render the window after start-up into the PNG file and exit."),
        QStringLiteral("file"));
    parser.addOption(screenshotOption);
    const QCommandLineOption tabOption(
        QStringLiteral("tab"), QStringLiteral("Show the panel's tab with this title first (e.g. Apache)."),
        QStringLiteral("title"));
    parser.addOption(tabOption);
    parser.addPositionalArgument(
        QStringLiteral("bundle"),
        QStringLiteral("The panel bundle to load (default: beside porthold, else the installed one)."),
        QStringLiteral("[bundle]"));
    parser.process(app);

    const QStringList positional = parser.positionalArguments();
    if (positional.size() > 1)
        parser.showHelp(2);
    const QString bundle =
        positional.isEmpty() ? PHBundleLocation::locateForThisProgram() : positional.first();

    PHSettingsHost host;
    // Only the window itself goes into the picture: a sheet start-up opens
    // over it is not drawn for nothing.
    std::optional<PHOtherWindowsUndrawn> otherWindowsUndrawn;
    if (parser.isSet(screenshotOption))
        otherWindowsUndrawn.emplace(&host);
    QString error;
    if (bundle.isEmpty()) {
        error = QStringLiteral("The Porthold panel bundle was not found in %1.")
                    .arg(PHBundleLocation::candidates(QCoreApplication::applicationDirPath())
                             .join(QStringLiteral(" or ")));
    }
    if (!error.isEmpty() || !host.loadBundle(bundle, &error)) {
        std::fprintf(stderr, "porthold: %s\n", qPrintable(error));
        if (!parser.isSet(screenshotOption) && QGuiApplication::platformName() != QLatin1String("offscreen"))
            QMessageBox::critical(nullptr, QStringLiteral("Porthold"), error);
        return 1;
    }
    // A picture is drawn once, when it is taken: not also into a window
    // that no screen shows.
    if (parser.isSet(screenshotOption))
        host.setUpdatesEnabled(false);
    host.select();
    if (parser.isSet(tabOption)) {
        const QString wanted = parser.value(tabOption);
        bool found = false;
        for (QTabWidget *tabs : host.findChildren<QTabWidget *>(QStringLiteral("tabs")))
            for (int i = 0; i < tabs->count() && !found; ++i)
                if (tabs->tabText(i).remove(QLatin1Char('&')).compare(wanted, Qt::CaseInsensitive) == 0) {
                    tabs->setCurrentIndex(i);
                    found = true;
                }
        if (!found)
            std::fprintf(stderr, "porthold: the panel has no tab \"%s\"\n", qPrintable(wanted));
    }

    if (parser.isSet(screenshotOption)) {
        const QString file = parser.value(screenshotOption);
        int status = 0;
        const auto grab = [&] {
            host.activateWindow();
            host.setUpdatesEnabled(true);
            const QPixmap picture = host.grab();
            // Drawn once, into the picture: not again into a window no screen shows.
            host.setUpdatesEnabled(false);
            // zlib's fastest level (Qt's PNG quality 80): a window's flat
            // colours compress about as well as at the default level (100 KB
            // against 108 KB for the panel), in 60% of the time.
            if (picture.isNull() || !picture.save(file, "PNG", 80)) {
                std::fprintf(stderr, "porthold: could not write the screenshot to %s\n", qPrintable(file));
                status = 1;
            } else {
                std::printf("porthold: wrote %s (%d x %d)\n", qPrintable(QFileInfo(file).absoluteFilePath()),
                            picture.width(), picture.height());
            }
            QApplication::exit(status);
        };
        // Grab once start-up work has settled: the queued work of start-up
        // (expansion, the first server status check) has run, and the layout
        // and repaints it caused with it, so the picture shows the window laid
        // out for what that work showed.
        PHEventLoopIdle::whenIdle(&host, grab);
        return QApplication::exec();
    }

    PHEventLoopIdle::whenIdle(&host, [] { PHStartupHeap::end(); });
    QObject::connect(&app, &QApplication::lastWindowClosed, &app, &QApplication::quit);
    return QApplication::exec();
}
