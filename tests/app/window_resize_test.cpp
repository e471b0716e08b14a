// Resizing: Panel1 stays at the bottom above the status bar with its height; the two left
// columns keep their width; Memo2 and MemoRTP take up the change.
#include <gtest/gtest.h>

#include "app/Unit_1_client.h"
#include "tests/app/TestSupport.h"

namespace {

TEST(WindowResize, panels_follow_the_window) {
  struct Row { QSize client; };
  const Row rows[] = {{{780, 534}}, {{1000, 700}}, {{1400, 534}}, {{640, 900}}, {{780, 534}}};
  TRecordingWindowing front;
  TForm1 form;
  form.show();
  for (const Row& row : rows) {
    const int w = row.client.width(), h = row.client.height();
    SCOPED_TRACE(testing::Message() << w << "x" << h);
    form.resize(row.client);
    ASSERT_TRUE(SpinUntil([&] { return form.Panel1->width() == w && form.StatusBar1->y() == h - 19; }));
    EXPECT_EQ(form.StatusBar1->geometry(), QRect(0, h - 19, w, 19));
    EXPECT_EQ(form.Panel1->geometry(), QRect(0, h - 19 - 477, w, 477));
    EXPECT_EQ(form.Memo2->geometry(), QRect(0, 271, w, 206));
    EXPECT_EQ(form.Panel3->geometry(), QRect(0, 0, 280, 271));
    EXPECT_EQ(form.Panel2->geometry(), QRect(280, 0, w - 280, 271));
    EXPECT_EQ(form.Panel4->geometry(), QRect(0, 0, 280, 271));
    EXPECT_EQ(form.MemoRTP->geometry(), QRect(280, 0, w - 560, 271));
    EXPECT_EQ(form.MemoSIP->geometry(), QRect(0, 0, 280, 224));
    EXPECT_EQ(form.MemoNat->geometry(), QRect(0, 0, 280, 224));
    // The top row and the controls anchored in the columns do not move.
    EXPECT_EQ(form.BtnTest->geometry(), QRect(320, 8, 75, 25));
    EXPECT_EQ(form.StopBtn->geometry(), QRect(440, 8, 75, 25));
    EXPECT_EQ(form.BtnCopyReport->geometry(), QRect(560, 8, 75, 25));
    EXPECT_EQ(form.ComboBox1->geometry(), QRect(64, 8, 137, 21));
    EXPECT_EQ(form.BtnRouter->geometry(), QRect(38, 232, 195, 25));
    EXPECT_EQ(form.Label1->pos(), QPoint(10, 230));
    EXPECT_EQ(form.LblCount->pos(), QPoint(100, 230));
  }
}

TEST(WindowResize, cannot_shrink_until_controls_overlap) {
  TRecordingWindowing front;
  TForm1 form;
  form.show();
  form.resize(100, 100);
  ASSERT_TRUE(SpinUntil([&] { return form.width() < 780; }));
  EXPECT_GE(form.height(), 534);
  EXPECT_GT(form.MemoRTP->width(), 0);
  EXPECT_GE(form.Panel1->y(), form.BtnTest->geometry().bottom());
  EXPECT_TRUE(form.rect().contains(form.BtnCopyReport->geometry())) << "the top row is never cut off";
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
