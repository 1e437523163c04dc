// An empty window of the panel's size (820 x 624 unless given), shown,
// grabbed into a PNG file, then closed: what any Qt program pays to get a
// picture of itself.
#include <QApplication>
#include <QPixmap>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstdlib>

int main(int argc, char **argv) {
    int width = 820;
    int height = 624;
    if (argc == 4) {
        width = std::atoi(argv[2]);
        height = std::atoi(argv[3]);
    }
    if ((argc != 2 && argc != 4) || width <= 0 || height <= 0 || width > 10000 || height > 10000) {
        std::fprintf(stderr, "usage: phbench-window FILE.png [WIDTH HEIGHT]\n");
        return 2;
    }
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QWidget window;
    window.resize(width, height);
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
