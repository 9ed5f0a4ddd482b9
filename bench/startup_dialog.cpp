// The least a Qt 6 Widgets program does to show a window: startup_bench's yardstick.
#include <QApplication>
#include <QDialog>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QDialog dialog;
  dialog.setWindowTitle(QStringLiteral("empty dialog"));
  dialog.show();
  return app.exec();
}
