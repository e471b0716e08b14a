// The window as it opens: every control with its name, parent, place, size, text, font and
// start state; the timers; the fields of a run.
#include <QComboBox>
#include <QFontDatabase>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <gtest/gtest.h>

#include "app/QtFront.h"
#include "app/Unit_1_client.h"
#include "tests/app/TestSupport.h"

namespace {

enum class Font { Window, Pane, Big, Fixed, None };

struct ControlRow {
  const char* name;
  const char* parent;
  QRect geometry;  // a width or height of -1 is not checked (sized by the text)
  const char* text;
  Font font;
  bool enabled;
  bool shown;
};

// Places relative to the parent, client area 780 x 650: the designed 534 pixels and the
// result card's 116 above the panes.
const ControlRow kControls[] = {
    {"Label2", "Form1", {6, 10, -1, -1}, "Local IP:", Font::Window, true, true},
    {"ComboBox1", "Form1", {64, 8, 137, 21}, "", Font::Window, true, true},
    {"BtnTest", "Form1", {320, 8, 75, 25}, "Start test", Font::Window, true, true},
    {"StopBtn", "Form1", {440, 8, 75, 25}, "Stop test", Font::Window, false, true},
    {"LabelServer", "Form1", {525, 12, -1, -1}, "Echo server:", Font::Window, true, true},
    {"EchoServerEdit", "Form1", {592, 8, 182, 21}, "", Font::Window, true, true},
    {"ResultCard", "Form1", {6, 38, 768, 112}, nullptr, Font::None, true, true},
    {"BtnCopyReport", "ResultCard", {684, 6, 75, 25}, "Copy report", Font::Window, false, true},
    {"Panel1", "Form1", {0, 154, 780, 477}, nullptr, Font::None, true, true},
    {"Memo2", "Panel1", {0, 271, 780, 206}, "", Font::Fixed, true, true},
    {"Panel3", "Panel1", {0, 0, 280, 271}, nullptr, Font::None, true, true},
    {"MemoSIP", "Panel3", {0, 0, 280, 224}, "SIP ALG Test:", Font::Pane, true, true},
    {"BtnRouter", "Panel3", {38, 232, 195, 25}, "Open router management", Font::Window, false, true},
    {"Panel2", "Panel1", {280, 0, 500, 271}, nullptr, Font::None, true, true},
    {"Panel4", "Panel2", {0, 0, 280, 271}, nullptr, Font::None, true, true},
    {"MemoNat", "Panel4", {0, 0, 280, 224}, "NAT Sessions timeout:", Font::Pane, true, true},
    {"Label1", "Panel4", {10, 230, -1, -1}, "Countdown:", Font::Big, true, false},
    {"LblCount", "Panel4", {100, 230, -1, -1}, "0", Font::Big, true, false},
    {"MemoRTP", "Panel2", {280, 0, 220, 271}, "RTP port open/closed:", Font::Pane, true, true},
    {"LblLeft", "Panel4", {-1, 233, -1, -1}, "s left in this run", Font::Pane, true, false},
    {"StatusBar1", "Form1", {0, 631, 780, 19}, nullptr, Font::Window, true, true},
};

QString TextOf(QWidget* w) {
  if (auto* b = qobject_cast<QPushButton*>(w)) return b->text();
  if (auto* l = qobject_cast<QLabel*>(w)) return l->text();
  if (auto* c = qobject_cast<QComboBox*>(w)) return c->currentText();
  if (auto* m = qobject_cast<QPlainTextEdit*>(w)) return m->toPlainText();
  if (auto* e = qobject_cast<QLineEdit*>(w)) return e->text();
  return QString();
}

class WindowControls : public ::testing::Test {
 protected:
  void SetUp() override {
    form.show();  // places the children; offscreen, nothing appears anywhere
    ASSERT_TRUE(SpinUntil([&] { return form.isVisible(); }));
  }
  TRecordingWindowing front;
  TForm1 form;
};

TEST_F(WindowControls, window_caption_and_client_size) {
  EXPECT_EQ(form.windowTitle(), QStringLiteral("NAT - SIP ALG tester"));
  EXPECT_EQ(form.size(), QSize(780, 650));
  EXPECT_EQ(form.objectName(), QStringLiteral("Form1"));
  EXPECT_EQ(form.palette().color(QPalette::Window), form.palette().color(QPalette::Button));
  EXPECT_EQ(form.font().pixelSize(), 11);
}

TEST_F(WindowControls, every_control_in_its_place_with_its_start_state) {
  for (const ControlRow& row : kControls) {
    SCOPED_TRACE(row.name);
    auto* w = form.findChild<QWidget*>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr);
    ASSERT_NE(w->parentWidget(), nullptr);
    EXPECT_EQ(w->parentWidget()->objectName(), QString::fromLatin1(row.parent));
    if (row.geometry.x() >= 0) {
      EXPECT_EQ(w->x(), row.geometry.x());
    }
    EXPECT_EQ(w->y(), row.geometry.y());
    if (row.geometry.width() >= 0) {
      EXPECT_EQ(w->width(), row.geometry.width());
    }
    if (row.geometry.height() >= 0) {
      EXPECT_EQ(w->height(), row.geometry.height());
    }
    if (row.text) {
      EXPECT_EQ(TextOf(w), QString::fromLatin1(row.text));
    }
    EXPECT_EQ(w->isEnabled(), row.enabled);
    EXPECT_EQ(w->isVisible(), row.shown);
    // A label shows all of its text; every control lies inside its parent.
    if (qobject_cast<QLabel*>(w)) {
      EXPECT_GE(w->width(), w->sizeHint().width());
    }
    EXPECT_TRUE(w->parentWidget()->rect().contains(w->geometry())) << w->geometry().x();
  }
}

// The first of the families installed, in order of preference.
QString Preferred(const QStringList& wanted) {
  for (const QString& f : wanted)
    if (QFontDatabase::families().contains(f, Qt::CaseInsensitive)) return f;
  return QString();
}

TEST_F(WindowControls, fonts_follow_the_design) {
  const QString sans = Preferred({"Tahoma", "Liberation Sans", "DejaVu Sans"});
  const QString fixed = Preferred({"Courier New", "Liberation Mono", "DejaVu Sans Mono"});
  for (const ControlRow& row : kControls) {
    if (row.font == Font::None) continue;
    SCOPED_TRACE(row.name);
    auto* w = form.findChild<QWidget*>(QString::fromLatin1(row.name));
    ASSERT_NE(w, nullptr);
    const QFont f = w->font();
    EXPECT_EQ(f.pixelSize(), row.font == Font::Pane ? 13 : row.font == Font::Big ? 16 : 11);
    if (row.font == Font::Fixed) {
      EXPECT_TRUE(QFontInfo(f).fixedPitch());
      if (!fixed.isEmpty()) {
        EXPECT_EQ(f.family(), fixed);
      }
    } else {
      EXPECT_FALSE(QFontInfo(f).fixedPitch());
      if (!sans.isEmpty()) {
        EXPECT_EQ(f.family(), sans);
      }
    }
  }
}

TEST_F(WindowControls, panes_are_read_only_with_a_vertical_scroll_bar) {
  for (TMemo* memo : {form.MemoSIP, form.MemoNat, form.MemoRTP, form.Memo2}) {
    SCOPED_TRACE(memo->objectName().toStdString());
    EXPECT_TRUE(memo->isReadOnly());
    EXPECT_EQ(memo->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
    EXPECT_TRUE(memo->textInteractionFlags() & Qt::TextSelectableByMouse);
  }
  EXPECT_EQ(form.MemoSIP->Lines(), std::vector<std::string>{"SIP ALG Test:"});
  EXPECT_EQ(form.MemoNat->Lines(), std::vector<std::string>{"NAT Sessions timeout:"});
  EXPECT_EQ(form.MemoRTP->Lines(), std::vector<std::string>{"RTP port open/closed:"});
  EXPECT_TRUE(form.Memo2->Lines().empty());
}

TEST_F(WindowControls, address_list_is_editable) {
  EXPECT_TRUE(form.ComboBox1->isEditable());
  EXPECT_EQ(form.ComboBox1->count(), 0);
}

TEST_F(WindowControls, status_bar_has_two_panels) {
  ASSERT_EQ(form.StatusBar1->PanelCount(), 2);
  EXPECT_EQ(form.StatusBar1->Panel(0)->width(), 300);
  // At least its 200 pixels: it takes the rest of the bar, for the waits of a long step.
  EXPECT_GE(form.StatusBar1->Panel(1)->width(), 200);
  EXPECT_GE(form.StatusBar1->Panel(1)->minimumWidth(), 200);
  EXPECT_EQ(form.StatusBar1->PanelText(0), "Link status:");
  EXPECT_EQ(form.StatusBar1->PanelText(1), "");
  EXPECT_LT(form.StatusBar1->Panel(0)->x(), form.StatusBar1->Panel(1)->x());
}

TEST_F(WindowControls, timers_start_disabled_at_one_second) {
  for (TTimer* t : {form.Timer1, form.TimerTCP}) {
    EXPECT_FALSE(t->Enabled());
    EXPECT_EQ(t->interval(), 1000);
  }
  EXPECT_EQ(form.Timer1->objectName(), QStringLiteral("Timer1"));
  EXPECT_EQ(form.TimerTCP->objectName(), QStringLiteral("TimerTCP"));
}

TEST_F(WindowControls, start_test_holds_the_focus_and_leads_the_tab_order) {
  EXPECT_EQ(form.focusWidget(), form.BtnTest);
  // The controls in the order Tab visits them, starting at "Start test".
  const std::vector<QWidget*> order = {form.BtnTest, form.StopBtn, form.EchoServerEdit, form.BtnCopyReport,
                                       form.ComboBox1, form.MemoSIP,
                                       form.BtnRouter, form.MemoNat, form.MemoRTP, form.Memo2};
  std::vector<QWidget*> seen;
  QWidget* w = form.BtnTest;
  for (int i = 0; i < 100 && seen.size() < order.size(); ++i, w = w->nextInFocusChain())
    if (std::find(order.begin(), order.end(), w) != order.end() &&
        std::find(seen.begin(), seen.end(), w) == seen.end())
      seen.push_back(w);
  EXPECT_EQ(seen, order);
}

TEST_F(WindowControls, fields_of_a_run_start_empty) {
  EXPECT_EQ(form.LastNatSecs5058, 0);
  EXPECT_EQ(form.LastNatSecs5060, 0);
  EXPECT_EQ(form.RtpCount, 0);
  EXPECT_EQ(form.RtpPrevCount, 0);
  EXPECT_EQ(form.ServerPort, 0);
  EXPECT_EQ(form.RtpPort, 0);
  EXPECT_FALSE(form.StartPending);
  EXPECT_FALSE(form.Stopped);
  for (const std::string* s :
       {&form.RouterIP, &form.ServerHost, &form.RegisterMsg, &form.InviteMsg, &form.SentRequestLine,
        &form.SentVia, &form.SentFrom, &form.SentTo, &form.SentCallId, &form.SentContact,
        &form.SentSdp, &form.SentSdpOrigin, &form.SentSdpConnection, &form.SentSdpMedia})
    EXPECT_TRUE(s->empty());
  EXPECT_FALSE(form.Closed());
  EXPECT_TRUE(front.boxes.empty());
}

TEST(ApplicationIcon, own_picture_of_32_by_32) {
  const QIcon icon = MakeApplicationIcon();
  ASSERT_FALSE(icon.isNull());
  const QImage image = icon.pixmap(32, 32).toImage();
  EXPECT_EQ(image.size(), QSize(32, 32));
  EXPECT_FALSE(image.hasAlphaChannel());
  // A picture, not a plain square: many colours.
  QSet<QRgb> colours;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) colours.insert(image.pixel(x, y));
  EXPECT_GT(colours.size(), 8);
}

}  // namespace
