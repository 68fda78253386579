// The yardstick of the start-up benchmark: a Qt widgets program that shows one label in a window of the
// tool's size, and nothing else.
#include <QApplication>
#include <QLabel>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QLabel label("Zentova Firmware Upgrade Tool");
    label.setFixedSize(665, 517);
    label.show();
    return app.exec();
}
