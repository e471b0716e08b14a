#pragma once
// The result card above the panes: one row per answer of the run (SIP ALG, NAT keep-alive, call
// quality, what to do), in plain words, filled as the answers come. Each row has a mark beside
// it, a colour and a sign, so it reads with or without colour: a tick for good, "!" for something
// to set or fix, "?" for what the run could not tell.
#include <QFrame>
#include <QLabel>
#include <array>
#include <optional>
#include <string>

#include "run/RunObserver.h"

class QGridLayout;

class TResultCard : public QFrame {
  Q_OBJECT
 public:
  explicit TResultCard(QWidget* parent);
  // Shows an answer in its row; a later answer of the same topic replaces it.
  void Show(const TRunAnswer& answer);
  // Back to the rows before any run: each says what it will tell.
  void Clear();
  // The row's text as shown, and its tone; nullopt while the row waits for its answer.
  std::string RowText(TRunAnswer::TTopic topic) const;
  std::optional<TRunAnswer::TTone> RowTone(TRunAnswer::TTopic topic) const;
  QLabel* Row(TRunAnswer::TTopic topic) const { return rows_.at(static_cast<size_t>(topic)).text; }
  // Puts a control in the card's top right corner.
  void AddCorner(QWidget* control);

 private:
  struct TRow {
    QLabel* mark = nullptr;
    QLabel* text = nullptr;
    std::optional<TRunAnswer::TTone> tone;
  };
  std::array<TRow, 4> rows_;
  QGridLayout* grid_;
};
