// An empty window of the panel's size, shown, grabbed into a PNG file, then
// closed: what any Qt program pays to get a picture of itself.
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: phbench-window FILE.png\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QWidget window;
    window.resize(820, 624);
    window.show();
    int status = 0;
    QTimer::singleShot(0, &window, [&] {
        const QPixmap picture = window.grab();
        if (picture.isNull() || !picture.save(QString::fromLocal8Bit(argv[1]), "PNG"))
            status = 1;
        QApplication::exit(status);
    });
    return QApplication::exec();
}
