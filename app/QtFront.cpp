#include <QDesktopServices>
#include <QUrl>
#include "app/QtFront.h"

#include <QApplication>
#include <QLinearGradient>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>

#include "app/FormControls.h"

namespace {

// Box texts keep their line breaks; a CR before an LF would show as a stray mark.
QString BoxText(const std::string& text) {
  QString shown = ToDisplay(text);
  shown.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
  shown.replace(QChar('\r'), QChar('\n'));
  return shown;
}

void ShowBox(QMessageBox::Icon icon, const std::string& caption, const std::string& text) {
  QMessageBox box(icon, ToDisplay(caption), BoxText(text), QMessageBox::Ok,
                  QApplication::activeWindow());
  box.setTextFormat(Qt::PlainText);
  box.exec();
}

}  // namespace

void TQtWindowing::ShowMessage(const std::string& caption, const std::string& text) {
  ShowBox(QMessageBox::NoIcon, caption, text);
}

void TQtWindowing::ShowError(const std::string& caption, const std::string& text) {
  ShowBox(QMessageBox::Critical, caption, text);
}

std::string TQtWindowing::FirstArgument() {
  const QStringList args = QCoreApplication::arguments();
  return args.size() > 1 ? FromDisplay(args.at(1)) : std::string();
}

// ---------------------------------------------------------------------------------------------

QIcon MakeApplicationIcon() {
  // 24-bit colour: no transparency, the square is filled edge to edge.
  QImage image(32, 32, QImage::Format_RGB888);
  image.fill(QColor(0x1c, 0x3f, 0x7a));
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing);
  QLinearGradient sky(0, 0, 0, 32);
  sky.setColorAt(0, QColor(0x3a, 0x78, 0xd0));
  sky.setColorAt(1, QColor(0x12, 0x2e, 0x5e));
  p.fillRect(QRect(0, 0, 32, 32), sky);

  // A router: a box with two aerials and status lights.
  p.setPen(QPen(QColor(0xf0, 0xf0, 0xf0), 2, Qt::SolidLine, Qt::RoundCap));
  p.drawLine(QPointF(9, 19), QPointF(7, 11));
  p.drawLine(QPointF(23, 19), QPointF(25, 11));
  p.setPen(Qt::NoPen);
  p.setBrush(QColor(0xf0, 0xf0, 0xf0));
  p.drawRoundedRect(QRectF(3, 18, 26, 9), 2, 2);
  p.setBrush(QColor(0x2e, 0xcc, 0x40));
  p.drawEllipse(QRectF(7, 21, 3, 3));
  p.setBrush(QColor(0xff, 0xb3, 0x00));
  p.drawEllipse(QRectF(12, 21, 3, 3));
  p.setBrush(QColor(0x2e, 0xcc, 0x40));
  p.drawEllipse(QRectF(17, 21, 3, 3));

  // A signal arc above it.
  p.setBrush(Qt::NoBrush);
  p.setPen(QPen(QColor(0xff, 0xb3, 0x00), 2, Qt::SolidLine, Qt::RoundCap));
  p.drawArc(QRectF(10, 4, 12, 12), 30 * 16, 120 * 16);
  p.drawArc(QRectF(13.5, 7.5, 5, 5), 30 * 16, 120 * 16);
  p.end();
  return QIcon(QPixmap::fromImage(image));
}

void TQtWindowing::OpenUrl(const std::string& url) {
  QDesktopServices::openUrl(QUrl(QString::fromLatin1(url.data(), static_cast<int>(url.size()))));
}
