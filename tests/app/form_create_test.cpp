// Filling the address list when the window is made, and the TCP client's three events.
#include <gtest/gtest.h>

#include <stdexcept>

#include "app/Unit_1_client.h"
#include "net/IdException.h"
#include "net/IdStack.h"
#include "tests/app/TestSupport.h"

namespace {

std::vector<std::string> ItemsOf(const QComboBox* combo) {
  std::vector<std::string> items;
  for (int i = 0; i < combo->count(); ++i) items.push_back(combo->itemText(i).toStdString());
  return items;
}

TEST(FormCreate, address_counts) {
  struct Row {
    std::vector<std::string> addresses;
    bool closed;
    bool comboEnabled;
    const char* text;
  };
  const Row rows[] = {
      {{}, true, true, ""},
      {{"192.168.1.20"}, false, false, "192.168.1.20"},
      {{"192.168.1.20", "10.0.0.7", "127.0.0.1"}, false, true, "192.168.1.20"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.addresses.size());
    TRecordingWindowing front;
    TForm1 form;
    form.LocalAddressSource = [&] { return row.addresses; };
    form.FormCreate(&form);
    EXPECT_EQ(form.Closed(), row.closed);
    EXPECT_FALSE(form.isVisible());
    EXPECT_EQ(ItemsOf(form.ComboBox1), row.addresses);
    EXPECT_EQ(form.ComboBox1->isEnabled(), row.comboEnabled);
    EXPECT_EQ(form.ComboBox1->currentText().toStdString(), row.text);
    EXPECT_EQ(form.ComboBox1->currentIndex(), row.addresses.empty() ? -1 : 0);
    EXPECT_TRUE(front.boxes.empty()) << "no address ends the program without a word";
  }
}

TEST(FormCreate, a_lookup_error_is_reported_and_the_window_opens_with_an_empty_list) {
  struct Row {
    std::function<std::vector<std::string>()> source;
    const char* shown;
  };
  const Row rows[] = {
      {[]() -> std::vector<std::string> {
         throw EIdSocketError(10050, "Socket Error # 10050\r\nNetwork is down.");
       },
       "Socket Error # 10050\r\nNetwork is down."},
      {[]() -> std::vector<std::string> { throw EIdStackInitializationFailed(); },
       "Winsock Initialization Error."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.shown);
    TRecordingWindowing front;
    TForm1 form;
    form.LocalAddressSource = row.source;
    form.FormCreate(&form);
    EXPECT_FALSE(form.Closed());
    EXPECT_EQ(form.ComboBox1->count(), 0);
    EXPECT_TRUE(form.ComboBox1->isEnabled()) << "the user may type an address";
    EXPECT_TRUE(front.OneBox(true, row.shown));
  }
}

TEST(FormCreate, typed_address_is_read_back) {
  TRecordingWindowing front;
  TForm1 form;
  form.LocalAddressSource = [] { return std::vector<std::string>{"10.1.1.1", "10.2.2.2"}; };
  form.FormCreate(&form);
  form.ComboBox1->setCurrentIndex(1);
  EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("10.2.2.2"));
  form.ComboBox1->setEditText(QStringLiteral("172.16.0.9"));
  EXPECT_EQ(form.ComboBox1->currentText(), QStringLiteral("172.16.0.9"));
}

TEST(FormCreate, socket_layer_lists_addresses_without_a_network_component) {
  // The default source brings the socket layer up for the look-up when nothing else holds it.
  std::vector<std::string> addresses;
  ASSERT_NO_THROW(addresses = SocketLayerLocalAddresses());
  for (const std::string& a : addresses) EXPECT_TRUE(TIdStack::IsAddressText(a)) << a;
}

TEST(TcpLinkEvents, status_text_goes_to_the_first_panel) {
  TRecordingWindowing front;
  TForm1 form;
  const char* texts[] = {"Resolving hostname echo.example.", "Connecting to 127.0.0.1.",
                         "Connected.", "Disconnecting.", "Disconnected."};
  for (const char* text : texts) {
    form.IdTCPClient1Status(nullptr, TIdStatus::hsStatusText, text);
    EXPECT_EQ(form.StatusBar1->PanelText(0), std::string("Link status: ") + text);
    EXPECT_EQ(form.StatusBar1->PanelText(1), "");
  }
}

TEST(TcpLinkEvents, connected_enables_the_sequence_timer_for_good) {
  TRecordingWindowing front;
  TForm1 form;
  form.IdTCPClient1Connected(nullptr);
  EXPECT_TRUE(form.TimerTCP->Enabled());
  form.IdTCPClient1Disconnected(nullptr);
  EXPECT_TRUE(form.TimerTCP->Enabled());
  EXPECT_FALSE(form.Timer1->Enabled());
}

TEST(TcpLinkEvents, disconnected_makes_start_usable_again) {
  TRecordingWindowing front;
  TForm1 form;
  form.BtnTest->setEnabled(false);
  form.StopBtn->setEnabled(true);
  form.IdTCPClient1Disconnected(nullptr);
  EXPECT_TRUE(form.BtnTest->isEnabled());
  EXPECT_FALSE(form.StopBtn->isEnabled());
  EXPECT_FALSE(form.BtnRouter->isEnabled());
}

}  // namespace
