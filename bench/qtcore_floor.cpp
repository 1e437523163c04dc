// The floor of any program that links Qt Core: it makes the application
// object and ends. A password change's memory is measured above it.
#include <QCoreApplication>

int main(int argc, char **argv) {
    QCoreApplication application(argc, argv);
    return 0;
}
