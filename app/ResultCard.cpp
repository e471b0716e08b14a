#include "app/ResultCard.h"

#include <QGridLayout>
#include <QPainter>

#include "app/FormControls.h"

namespace {

using TTopic = TRunAnswer::TTopic;
using TTone = TRunAnswer::TTone;

constexpr int kMarkSize = 16;

// What each row says before its answer comes.
const char* Waiting(TTopic topic) {
  switch (topic) {
    case TTopic::Alg: return "SIP ALG: whether the router rewrites SIP messages";
    case TTopic::NatKeepAlive: return "NAT keep-alive: how often a phone must send to stay reachable";
    case TTopic::CallQuality: return "Call quality: how a call through this router would sound";
    case TTopic::WhatToDo: break;
  }
  return "What to do: press \"Start test\"";
}

// A round mark in the tone's colour with its sign in white.
QPixmap Mark(std::optional<TTone> tone) {
  QColor colour(0xb0, 0xb0, 0xb0);
  QString sign;
  if (tone) switch (*tone) {
      case TTone::Good: colour = QColor(0x2e, 0x8b, 0x3e), sign = QString(QChar(0x2713)); break;
      case TTone::Warning: colour = QColor(0xd8, 0x8a, 0x00), sign = QStringLiteral("!"); break;
      case TTone::Problem: colour = QColor(0xc6, 0x28, 0x28), sign = QStringLiteral("!"); break;
      case TTone::Unknown: colour = QColor(0x75, 0x75, 0x75), sign = QStringLiteral("?"); break;
    }
  QPixmap pixmap(kMarkSize, kMarkSize);
  pixmap.fill(Qt::transparent);
  QPainter p(&pixmap);
  p.setRenderHint(QPainter::Antialiasing);
  p.setPen(Qt::NoPen);
  p.setBrush(colour);
  p.drawEllipse(QRectF(0.5, 0.5, kMarkSize - 1, kMarkSize - 1));
  p.setPen(Qt::white);
  QFont font = SansFont(12);
  font.setBold(true);
  p.setFont(font);
  p.drawText(QRect(0, 0, kMarkSize, kMarkSize), Qt::AlignCenter, sign);
  return pixmap;
}

}  // namespace

TResultCard::TResultCard(QWidget* parent) : QFrame(parent) {
  setObjectName(QStringLiteral("ResultCard"));
  setFrameShape(QFrame::StyledPanel);
  setAutoFillBackground(true);
  QPalette pal = palette();
  pal.setColor(QPalette::Window, pal.color(QPalette::Base));
  setPalette(pal);
  auto* grid = grid_ = new QGridLayout(this);
  grid->setContentsMargins(8, 5, 8, 5);
  grid->setHorizontalSpacing(6);
  grid->setVerticalSpacing(3);
  grid->setColumnStretch(1, 1);
  for (size_t k = 0; k < rows_.size(); ++k) {
    TRow& row = rows_[k];
    row.mark = new QLabel(this);
    row.mark->setFixedSize(kMarkSize, kMarkSize);
    row.text = new QLabel(this);
    row.text->setObjectName(QStringLiteral("CardRow%1").arg(k));
    row.text->setTextFormat(Qt::PlainText);
    row.text->setFont(SansFont(13));
    row.text->setTextInteractionFlags(Qt::TextSelectableByMouse);
    // What to do may take two lines; the other rows are short.
    row.text->setWordWrap(static_cast<TTopic>(k) == TTopic::WhatToDo);
    grid->addWidget(row.mark, static_cast<int>(k), 0, Qt::AlignTop);
    const bool wide = static_cast<TTopic>(k) == TTopic::WhatToDo;  // under the corner's column too
    grid->addWidget(row.text, static_cast<int>(k), 1, 1, wide ? 2 : 1, Qt::AlignTop);
  }
  Clear();
}

void TResultCard::AddCorner(QWidget* control) {
  control->setParent(this);
  grid_->addWidget(control, 0, 2, 2, 1, Qt::AlignTop | Qt::AlignRight);
}

void TResultCard::Show(const TRunAnswer& answer) {
  TRow& row = rows_.at(static_cast<size_t>(answer.Topic));
  row.tone = answer.Tone;
  row.text->setText(ToDisplay(answer.Text));
  row.text->setToolTip(ToDisplay(answer.Text));
  row.text->setEnabled(true);
  row.mark->setPixmap(Mark(answer.Tone));
}

void TResultCard::Clear() {
  for (size_t k = 0; k < rows_.size(); ++k) {
    TRow& row = rows_[k];
    row.tone.reset();
    row.text->setText(QString::fromLatin1(Waiting(static_cast<TTopic>(k))));
    row.text->setToolTip(QString());
    row.text->setEnabled(false);  // greyed until its answer comes
    row.mark->setPixmap(Mark(std::nullopt));
  }
}

std::string TResultCard::RowText(TTopic topic) const {
  const TRow& row = rows_.at(static_cast<size_t>(topic));
  return row.tone ? FromDisplay(row.text->text()) : std::string();
}

std::optional<TTone> TResultCard::RowTone(TTopic topic) const { return rows_.at(static_cast<size_t>(topic)).tone; }
