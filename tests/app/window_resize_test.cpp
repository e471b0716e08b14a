// Resizing: Panel1 stays at the bottom above the status bar; what the window grows by beyond
// its design size, the panes share: half of the height each to the log pane and to the columns
// above it, a third of the width to each column. Narrower than designed, the two left columns
// keep their width and the RTP pane gives.
#include <gtest/gtest.h>

#include "app/Unit_1_client.h"
#include "tests/app/TestSupport.h"

namespace {

// A share of a growth, rounded as the layout rounds it.
int Share(double share, int growth) { return static_cast<int>(share * std::max(0, growth) + 0.5); }

TEST(WindowResize, panes_share_the_growth) {
  struct Row { QSize client; };
  const Row rows[] = {{{780, 650}}, {{1000, 700}}, {{1401, 650}}, {{1001, 901}}, {{730, 900}}, {{780, 650}}};
  TRecordingWindowing front;
  TForm1 form;
  form.show();
  for (const Row& row : rows) {
    const int w = row.client.width(), h = row.client.height();
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    form.resize(row.client);
    ASSERT_TRUE(SpinUntil([&] { return form.Panel1->width() == w && form.StatusBar1->y() == h - 19; }));
    const int dw = w - 780, dh = h - 650;
    const int panel1 = 477 + Share(1, dh), memo2 = 206 + Share(0.5, dh), column = panel1 - memo2;
    const int left = 280 + Share(1.0 / 3, dw), rest = w - left, nat = 280 + Share(0.5, rest - 500);
    EXPECT_EQ(form.StatusBar1->geometry(), QRect(0, h - 19, w, 19));
    EXPECT_EQ(form.Panel1->geometry(), QRect(0, h - 19 - panel1, w, panel1));
    EXPECT_EQ(form.Memo2->geometry(), QRect(0, column, w, memo2));
    EXPECT_EQ(form.Panel3->geometry(), QRect(0, 0, left, column));
    EXPECT_EQ(form.Panel2->geometry(), QRect(left, 0, rest, column));
    EXPECT_EQ(form.Panel4->geometry(), QRect(0, 0, nat, column));
    EXPECT_EQ(form.MemoRTP->geometry(), QRect(nat, 0, rest - nat, column));
    EXPECT_EQ(form.MemoSIP->geometry(), QRect(0, 0, left, 224 + column - 271));
    EXPECT_EQ(form.MemoNat->geometry(), QRect(0, 0, nat, 224 + column - 271));
    if (dw >= 0) {
      EXPECT_LE(std::abs(form.MemoRTP->width() - (220 + dw / 3)), 1) << "the columns grow alike";
    }
    // The top row stays; the card and the server field follow the width; the controls anchored
    // in the columns keep their place against the columns' bottoms.
    EXPECT_EQ(form.BtnTest->geometry(), QRect(320, 8, 75, 25));
    EXPECT_EQ(form.StopBtn->geometry(), QRect(440, 8, 75, 25));
    EXPECT_EQ(form.ComboBox1->geometry(), QRect(64, 8, 137, 21));
    EXPECT_EQ(form.EchoServerEdit->geometry(), QRect(592, 8, 182 + dw, 21));
    EXPECT_EQ(form.ResultCard->geometry(), QRect(6, 38, 768 + dw, 112));
    EXPECT_EQ(form.BtnRouter->geometry(), QRect(38, 232 + column - 271, 195, 25));
    EXPECT_EQ(form.Label1->pos(), QPoint(10, 230 + column - 271));
    EXPECT_EQ(form.LblCount->pos(), QPoint(100, 230 + column - 271));
  }
}

TEST(WindowResize, cannot_shrink_until_controls_overlap) {
  TRecordingWindowing front;
  TForm1 form;
  form.show();
  form.resize(100, 100);
  ASSERT_TRUE(SpinUntil([&] { return form.width() < 780; }));
  EXPECT_GE(form.height(), TForm1::kClientHeight);
  EXPECT_GT(form.MemoRTP->width(), 0);
  EXPECT_GE(form.Panel1->y(), form.BtnTest->geometry().bottom());
  EXPECT_TRUE(form.rect().contains(form.EchoServerEdit->geometry())) << "the top row is never cut off";
  EXPECT_GE(form.EchoServerEdit->width(), 120);
}

TEST(WindowResize, align_layout_never_gives_negative_sizes) {
  QWidget parent;
  auto* layout = new TAlignLayout(&parent, QSize(100, 100));
  QWidget top(&parent), left(&parent), client(&parent), placed(&parent);
  layout->AddAligned(&top, TAlign::alTop, 60);
  layout->AddAligned(&left, TAlign::alLeft, 80);
  layout->AddAligned(&client, TAlign::alClient, 0);
  layout->AddPlaced(&placed, QRect(10, 70, 20, 20), akLeft | akBottom | akRight);
  layout->setGeometry(QRect(0, 0, 50, 40));
  EXPECT_EQ(top.geometry(), QRect(0, 0, 50, 60));
  EXPECT_EQ(left.size(), QSize(80, 0));
  EXPECT_EQ(client.size(), QSize(0, 0));
  // Anchored right and left it stretches; anchored bottom only, it moves with the bottom edge.
  EXPECT_EQ(placed.geometry(), QRect(10, 10, 0, 20));
  layout->setGeometry(QRect(0, 0, 200, 150));
  EXPECT_EQ(placed.geometry(), QRect(10, 120, 120, 20));
  EXPECT_EQ(client.geometry(), QRect(80, 60, 120, 90));
}

}  // namespace
