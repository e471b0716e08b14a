#pragma once
// The few control kinds of the tester's window that the toolkit does not offer as they are:
// panes that only grow, a status bar with fixed-width panels, and containers that place their
// children by side alignment and anchors. The timer is the run's (RunTimer.h).
#include <QFont>
#include <QLabel>
#include <QLayout>
#include <QPlainTextEdit>
#include <QStatusBar>
#include <QWidget>
#include <string>
#include <vector>

#include "run/RunTimer.h"

// The window's fonts: the family of the design where the system has it, else a close match
// of the same kind, at the given height in pixels.
QString SansFamily();   // Tahoma, else Liberation Sans, DejaVu Sans, the system's sans serif
QString FixedFamily();  // Courier New, else Liberation Mono, DejaVu Sans Mono, the system's fixed
QFont SansFont(int pixelSize);
QFont FixedFont(int pixelSize);

// Texts of the system are 8-bit byte strings; on screen each byte is shown as the character
// of the same code (Latin-1), so every byte survives the way to the screen and back.
QString ToDisplay(const std::string& text);
std::string FromDisplay(const QString& text);

// A read-only multi-line pane that only grows: lines are appended, never edited or removed.
// The user can select and copy text. The pane scrolls to each new line. The lines of a run
// that is over can be dimmed, so the next run's stand apart.
class TMemo : public QPlainTextEdit {
  Q_OBJECT
 public:
  explicit TMemo(QWidget* parent);
  // Appends one line (Lines.Add). A text holding line breaks (CR LF, LF or CR) adds one line
  // per piece; a zero byte is shown as a visible mark.
  void Add(const std::string& line);
  // Every line the pane holds, in order, as the bytes that were added.
  const std::vector<std::string>& Lines() const { return lines_; }
  // Shows every line held now, but the first `keep` (a heading), in the dim text colour; lines
  // added later are shown as usual.
  void DimLines(int keep);
  // Whether line `index` is shown dimmed.
  bool LineDimmed(int index) const;
 signals:
  // Emitted once per line added, after it is shown.
  void LineAdded(const QString& line);

 private:
  std::vector<std::string> lines_;
};

// A status bar made of panels of fixed width, left to right.
class TStatusBar : public QStatusBar {
  Q_OBJECT
 public:
  TStatusBar(QWidget* parent, const std::vector<int>& panelWidths);
  int PanelCount() const { return static_cast<int>(panels_.size()); }
  QLabel* Panel(int index) const { return panels_.at(static_cast<size_t>(index)); }
  void SetPanelText(int index, const std::string& text);
  std::string PanelText(int index) const;
  // The panel keeps its width as its least and takes the room the bar has left.
  void StretchPanel(int index);
 signals:
  void PanelTextChanged(int index, const QString& text);

 private:
  std::vector<QLabel*> panels_;
};

// How a child of a TAlignLayout is placed.
enum class TAlign { alNone, alTop, alBottom, alLeft, alRight, alClient };
// Sides a child placed by position (alNone) keeps its distance to.
enum TAnchor { akLeft = 1, akTop = 2, akRight = 4, akBottom = 8 };

// Places children the way the tester's window is described: aligned children take a strip of
// fixed height (top, bottom) or width (left, right) off the remaining area, in the order
// top, bottom, left, right, client, each kind in the order added; the client child takes the
// rest. Children placed by position keep their distance to the anchored sides of the parent,
// measured against the parent's design size. Sizes never go below zero.
class TAlignLayout : public QLayout {
 public:
  // designSize: the parent's size at which positions of alNone children were given.
  TAlignLayout(QWidget* parent, QSize designSize);
  ~TAlignLayout() override;

  // grow: the share of the parent's growth beyond its design size (height for top and bottom,
  // width for left and right) that the child's extent takes on; below the design size it
  // keeps its extent.
  void AddAligned(QWidget* w, TAlign align, int extent, double grow = 0);
  void AddPlaced(QWidget* w, QRect designRect, int anchors = akLeft | akTop);
  void SetMinimumSize(QSize size) { minimum_ = size; }

  void addItem(QLayoutItem* item) override;
  QLayoutItem* itemAt(int index) const override;
  QLayoutItem* takeAt(int index) override;
  int count() const override { return static_cast<int>(items_.size()); }
  QSize sizeHint() const override { return design_; }
  QSize minimumSize() const override { return minimum_; }
  void setGeometry(const QRect& rect) override;

 private:
  struct Item {
    QLayoutItem* item;
    TAlign align;
    int extent;      // height for top/bottom, width for left/right
    double grow;     // share of the parent's growth added to extent
    QRect design;    // position for alNone
    int anchors;
  };
  std::vector<Item> items_;
  QSize design_;
  QSize minimum_;
};

// A container without a visible border whose children are placed by a TAlignLayout.
class TPanel : public QWidget {
  Q_OBJECT
 public:
  TPanel(QWidget* parent, const char* name, QSize designSize);
  TAlignLayout* Placer() const { return placer_; }

 private:
  TAlignLayout* placer_;
};
