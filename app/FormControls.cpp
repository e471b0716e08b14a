#include "app/FormControls.h"

#include <QFontDatabase>
#include <QScrollBar>
#include <QTextBlock>
#include <QTextCursor>
#include <algorithm>

#include "run/RunObserver.h"

namespace {

QString FirstInstalled(std::initializer_list<const char*> wanted, QFontDatabase::SystemFont other) {
  const QStringList installed = QFontDatabase::families();
  for (const char* name : wanted) {
    const QString family = QString::fromLatin1(name);
    if (installed.contains(family, Qt::CaseInsensitive)) return family;
  }
  return QFontDatabase::systemFont(other).family();
}

}  // namespace

QString SansFamily() {
  static const QString family =
      FirstInstalled({"Tahoma", "Liberation Sans", "DejaVu Sans"}, QFontDatabase::GeneralFont);
  return family;
}

QString FixedFamily() {
  static const QString family = FirstInstalled(
      {"Courier New", "Liberation Mono", "DejaVu Sans Mono"}, QFontDatabase::FixedFont);
  return family;
}

QFont SansFont(int pixelSize) {
  QFont font(SansFamily());
  font.setPixelSize(pixelSize);
  font.setStyleHint(QFont::SansSerif);
  return font;
}

QFont FixedFont(int pixelSize) {
  QFont font(FixedFamily());
  font.setPixelSize(pixelSize);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  return font;
}

QString ToDisplay(const std::string& text) {
  return QString::fromLatin1(text.data(), static_cast<qsizetype>(text.size()));
}

std::string FromDisplay(const QString& text) {
  const QByteArray bytes = text.toLatin1();
  return std::string(bytes.constData(), static_cast<size_t>(bytes.size()));
}

// ---------------------------------------------------------------------------------------------

TMemo::TMemo(QWidget* parent) : QPlainTextEdit(parent) {
  setReadOnly(true);
  setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAsNeeded);
  setLineWrapMode(QPlainTextEdit::WidgetWidth);
  setUndoRedoEnabled(false);
}

void TMemo::Add(const std::string& line) {
  // Split at CR LF, LF or a lone CR: each piece is a line of its own.
  for (const std::string& piece : SplitPaneLines(line)) {
    QString shown = ToDisplay(piece);
    shown.replace(QChar(0), QChar(0x2400));  // a zero byte would cut the line short on screen
    lines_.push_back(piece);
    // In the usual colour, whatever the line before it was shown in.
    QTextCursor end(document());
    end.movePosition(QTextCursor::End);
    if (lines_.size() > 1) end.insertBlock(QTextBlockFormat(), QTextCharFormat());
    end.insertText(shown, QTextCharFormat());
    emit LineAdded(shown);
  }
  verticalScrollBar()->setValue(verticalScrollBar()->maximum());
}

void TMemo::DimLines(int keep) {
  const QTextBlock first = document()->findBlockByNumber(keep);
  if (!first.isValid() || lines_.empty()) return;
  QTextCursor c(document());
  c.setPosition(first.position());
  c.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
  QTextCharFormat dim;
  dim.setForeground(palette().color(QPalette::Disabled, QPalette::Text));
  c.mergeCharFormat(dim);
}

bool TMemo::LineDimmed(int index) const {
  const QTextBlock block = document()->findBlockByNumber(index);
  if (!block.isValid() || block.begin().atEnd()) return false;
  return block.begin().fragment().charFormat().hasProperty(QTextFormat::ForegroundBrush);
}

// ---------------------------------------------------------------------------------------------

TStatusBar::TStatusBar(QWidget* parent, const std::vector<int>& panelWidths) : QStatusBar(parent) {
  setSizeGripEnabled(true);
  for (size_t i = 0; i < panelWidths.size(); ++i) {
    auto* panel = new QLabel(this);
    panel->setObjectName(QStringLiteral("Panel%1").arg(i));
    panel->setFixedWidth(panelWidths[i]);
    panel->setTextFormat(Qt::PlainText);
    // A sunken frame, drawn the same under every style.
    panel->setStyleSheet(QStringLiteral(
        "QLabel { border-style: solid; border-width: 1px; padding: 0px 2px;"
        " border-color: palette(mid) palette(light) palette(light) palette(mid); }"));
    addWidget(panel);
    panels_.push_back(panel);
  }
}

void TStatusBar::SetPanelText(int index, const std::string& text) {
  QLabel* panel = Panel(index);
  const QString shown = ToDisplay(text);
  panel->setText(shown);
  emit PanelTextChanged(index, shown);
}

std::string TStatusBar::PanelText(int index) const { return FromDisplay(Panel(index)->text()); }

void TStatusBar::StretchPanel(int index) {
  QLabel* panel = Panel(index);
  panel->setMinimumWidth(panel->width());
  panel->setMaximumWidth(QWIDGETSIZE_MAX);
  removeWidget(panel);
  insertWidget(index, panel, 1);
  panel->show();
}

// ---------------------------------------------------------------------------------------------

TAlignLayout::TAlignLayout(QWidget* parent, QSize designSize)
    : QLayout(parent), design_(designSize), minimum_(0, 0) {
  setContentsMargins(0, 0, 0, 0);
  setSpacing(0);
  setSizeConstraint(QLayout::SetNoConstraint);
}

TAlignLayout::~TAlignLayout() {
  for (Item& it : items_) delete it.item;
}

void TAlignLayout::AddAligned(QWidget* w, TAlign align, int extent, double grow) {
  addChildWidget(w);
  items_.push_back({new QWidgetItem(w), align, extent, grow, QRect(), akLeft | akTop});
  invalidate();
}

void TAlignLayout::AddPlaced(QWidget* w, QRect designRect, int anchors) {
  addChildWidget(w);
  items_.push_back({new QWidgetItem(w), TAlign::alNone, 0, 0, designRect, anchors});
  invalidate();
}

void TAlignLayout::addItem(QLayoutItem* item) {
  items_.push_back({item, TAlign::alNone, 0, 0, item->geometry(), akLeft | akTop});
}

QLayoutItem* TAlignLayout::itemAt(int index) const {
  if (index < 0 || index >= count()) return nullptr;
  return items_[static_cast<size_t>(index)].item;
}

QLayoutItem* TAlignLayout::takeAt(int index) {
  if (index < 0 || index >= count()) return nullptr;
  QLayoutItem* item = items_[static_cast<size_t>(index)].item;
  items_.erase(items_.begin() + index);
  return item;
}

void TAlignLayout::setGeometry(const QRect& rect) {
  QLayout::setGeometry(rect);
  // The area not yet taken by aligned children.
  int left = rect.left(), top = rect.top();
  int right = rect.left() + rect.width(), bottom = rect.top() + rect.height();
  // Widgets get exactly the rectangle: a layout item would bend it to the widget's size hints.
  auto place = [](QLayoutItem* item, int x, int y, int w, int h) {
    const QRect r(x, y, std::max(0, w), std::max(0, h));
    if (QWidget* widget = item->widget()) widget->setGeometry(r); else item->setGeometry(r);
  };
  const int dw = rect.width() - design_.width(), dh = rect.height() - design_.height();
  // A child's extent with its share of the growth beyond the design size.
  auto extent = [](const Item& it, int growth) {
    return it.extent + static_cast<int>(it.grow * std::max(0, growth) + 0.5);
  };
  for (TAlign pass : {TAlign::alTop, TAlign::alBottom, TAlign::alLeft, TAlign::alRight,
                      TAlign::alClient}) {
    for (Item& it : items_) {
      if (it.align != pass) continue;
      const int e = extent(it, pass == TAlign::alTop || pass == TAlign::alBottom ? dh : dw);
      switch (pass) {
        case TAlign::alTop:
          place(it.item, left, top, right - left, e);
          top += e;
          break;
        case TAlign::alBottom:
          place(it.item, left, bottom - e, right - left, e);
          bottom -= e;
          break;
        case TAlign::alLeft:
          place(it.item, left, top, e, bottom - top);
          left += e;
          break;
        case TAlign::alRight:
          place(it.item, right - e, top, e, bottom - top);
          right -= e;
          break;
        default:
          place(it.item, left, top, right - left, bottom - top);
          break;
      }
    }
  }
  // Children placed by position, against the whole parent.
  for (Item& it : items_) {
    if (it.align != TAlign::alNone) continue;
    QRect g = it.design;
    if (it.anchors & akRight) {
      if (it.anchors & akLeft) g.setWidth(g.width() + dw); else g.moveLeft(g.left() + dw);
    }
    if (it.anchors & akBottom) {
      if (it.anchors & akTop) g.setHeight(g.height() + dh); else g.moveTop(g.top() + dh);
    }
    place(it.item, rect.left() + g.left(), rect.top() + g.top(), g.width(), g.height());
  }
}

// ---------------------------------------------------------------------------------------------

TPanel::TPanel(QWidget* parent, const char* name, QSize designSize) : QWidget(parent) {
  setObjectName(QString::fromLatin1(name));
  placer_ = new TAlignLayout(this, designSize);
}
