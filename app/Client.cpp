// Program entry of the tester window.
#include <QApplication>
#include <QLabel>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName("NAT - SIP ALG client tester");
  QLabel w("NAT - SIP ALG tester");
  w.setWindowTitle("NAT - SIP ALG tester");
  w.show();
  return app.exec();
}
