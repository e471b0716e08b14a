// The window's TCP client: its stored settings, and the link state it shows in the status bar
// and in the buttons as it connects to a real loopback listener and disconnects.
#include <gtest/gtest.h>

#include "app/Unit_1_client.h"
#include "tests/app/TestSupport.h"

namespace {

using support::TcpListener;

TEST(WindowTcpLink, stored_settings) {
  TRecordingWindowing front;
  TForm1 form;
  EXPECT_EQ(form.IdTCPClient1->Port(), 0);
  EXPECT_EQ(form.IdTCPClient1->Host(), "");
  EXPECT_EQ(form.IdTCPClient1->ReadTimeout, 0);
  EXPECT_EQ(form.IdTCPClient1->MaxLineAction, TIdMaxLineAction::maException);
  EXPECT_TRUE(static_cast<bool>(form.IdTCPClient1->OnStatus));
  EXPECT_TRUE(static_cast<bool>(form.IdTCPClient1->OnConnected));
  EXPECT_TRUE(static_cast<bool>(form.IdTCPClient1->OnDisconnected));
}

TEST(WindowTcpLink, connect_and_user_stop_show_in_status_bar_and_buttons) {
  TRecordingWindowing front;
  TForm1 form;
  const TcpListener server(support::TestAddress());
  ASSERT_TRUE(server.Ok()) << server.Error();
  std::vector<std::string> statuses;
  QObject::connect(form.StatusBar1, &TStatusBar::PanelTextChanged,
                   [&](int, const QString& t) { statuses.push_back(t.toStdString()); });

  form.BtnTest->setEnabled(false);
  form.IdTCPClient1->SetHost(server.Ip());
  form.IdTCPClient1->SetPort(server.Port());
  form.IdTCPClient1->Connect(2000);
  EXPECT_TRUE(form.TimerTCP->Enabled());
  ASSERT_FALSE(statuses.empty());
  EXPECT_EQ(statuses.back(), "Link status: Connected.");
  EXPECT_FALSE(form.BtnTest->isEnabled());

  form.StopBtn->setEnabled(true);
  statuses.clear();
  form.IdTCPClient1->Disconnect();
  EXPECT_EQ(statuses, (std::vector<std::string>{"Link status: Disconnecting.", "Link status: Disconnected."}));
  EXPECT_EQ(form.StatusBar1->PanelText(0), "Link status: Disconnected.");
  EXPECT_EQ(form.StatusBar1->PanelText(1), "");
  EXPECT_TRUE(form.BtnTest->isEnabled());
  EXPECT_FALSE(form.StopBtn->isEnabled());
  EXPECT_TRUE(form.TimerTCP->Enabled()) << "nothing disables it again";

  // A second disconnect finds nothing to close: no report, no event.
  statuses.clear();
  form.BtnTest->setEnabled(false);
  form.IdTCPClient1->Disconnect();
  EXPECT_TRUE(statuses.empty());
  EXPECT_FALSE(form.BtnTest->isEnabled());
  EXPECT_TRUE(front.boxes.empty());
}

TEST(WindowTcpLink, window_goes_while_connected_without_events) {
  TRecordingWindowing front;
  const TcpListener server(support::TestAddress());
  ASSERT_TRUE(server.Ok()) << server.Error();
  auto form = std::make_unique<TForm1>();
  form->IdTCPClient1->SetHost(server.Ip());
  form->IdTCPClient1->SetPort(server.Port());
  form->IdTCPClient1->Connect(2000);
  int reports = 0;
  QObject::connect(form->StatusBar1, &TStatusBar::PanelTextChanged, [&] { ++reports; });
  form.reset();  // the status bar and buttons outlive the client: a report would be seen
  EXPECT_EQ(reports, 0);
  EXPECT_TRUE(front.boxes.empty());
}

}  // namespace
