#include "tray/tray_status.h"

#include <gtest/gtest.h>

#include "tray/status_report.h"

namespace tolvi {
namespace {

const std::string kDash = "Tolvi Host \u2014 ";

TEST(TrayStatus, PrecedenceTipAndMenuLine) {
  struct Case {
    StatusSnapshot status;
    StatusKind kind;
    std::string tip;
    std::string line;
  } cases[] = {
      {{"", ""}, StatusKind::Waiting, kDash + "waiting for a client", "No client connected"},
      {{"192.168.1.20", ""},
       StatusKind::Connected,
       kDash + "connected: 192.168.1.20",
       "Connected: 192.168.1.20"},
      {{"", "Port 5960 is in use"},
       StatusKind::Error,
       kDash + "Port 5960 is in use",
       "Port 5960 is in use"},
      // An error wins over a connected client.
      {{"10.0.0.1", "Encryption self-test failed"},
       StatusKind::Error,
       kDash + "Encryption self-test failed",
       "Encryption self-test failed"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.tip);
    EXPECT_EQ(status_kind(c.status), c.kind);
    EXPECT_EQ(tray_tip(c.status), c.tip);
    EXPECT_EQ(menu_status_line(c.status), c.line);
  }
}

TEST(TrayStatus, TipIsCutTo127Utf16UnitsWithoutSplittingACharacter) {
  // The prefix is 13 units ("Tolvi Host " 11, the dash, a space).
  const std::size_t prefix_units = 13;
  struct Case {
    std::string error;
    std::size_t expected_units;
    std::string expected_tail;
  } cases[] = {
      {std::string(114, 'x'), 127, std::string(114, 'x')},  // exactly 127: kept whole
      {std::string(200, 'x'), 127, std::string(114, 'x')},  // cut
      // A character outside the basic plane takes two units; at unit 127 it would be split,
      // so it is left out whole.
      {std::string(113, 'x') + "\U0001F600" + "y", 126, std::string(113, 'x')},
      {std::string(112, 'x') + "\U0001F600" + "y", 127, std::string(112, 'x') + "\U0001F600"},
      {std::string(113, 'x') + "\u00E9\u00E9", 127, std::string(113, 'x') + "\u00E9"},
  };
  for (const auto& c : cases) {
    const std::string tip = tray_tip({"", c.error});
    EXPECT_EQ(utf16_length(tip), c.expected_units);
    EXPECT_EQ(tip.substr(kDash.size()), c.expected_tail);
    EXPECT_EQ(utf16_length(kDash), prefix_units);
  }
}

TEST(TrayStatus, PolledValue) {
  struct Case {
    std::string value;
    bool running;
    StatusSnapshot expected;
  } cases[] = {
      {"error: Port 5960 is in use", true, {"", "Port 5960 is in use"}},
      {"fe80::1 error: x", true, {"fe80::1 error: x", ""}},  // the marker counts only at 0
      {"", false, {"", "Service is not running"}},
      {"192.168.1.20", true, {"192.168.1.20", ""}},
      {"192.168.1.20", false, {"192.168.1.20", "Service is not running"}},
      {"error: ", true, {"", ""}},
      {"error:x", true, {"error:x", ""}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.value);
    EXPECT_EQ(parse_polled_status(c.value, c.running), c.expected);
  }
}

TEST(TrayStatus, StoreSaysWhetherAPollChangedAnything) {
  store_status({});
  EXPECT_TRUE(store_status({"192.168.1.20", ""}));
  EXPECT_FALSE(store_status({"192.168.1.20", ""}));  // same reading: no redraw
  EXPECT_TRUE(store_status({"192.168.1.20", "Service is not running"}));
  EXPECT_EQ(status_snapshot(), (StatusSnapshot{"192.168.1.20", "Service is not running"}));
  EXPECT_TRUE(store_status({}));
}

TEST(TrayStatus, ReportsReachTheListenerAndTheSnapshot) {
  store_status({});
  int calls = 0;
  set_status_listener([&] { ++calls; });
  report_client_status("10.0.0.5");
  EXPECT_EQ(status_kind(status_snapshot()), StatusKind::Connected);
  report_error_status("Port 5960 is in use");
  report_client_status("");
  EXPECT_EQ(status_snapshot(), (StatusSnapshot{"", "Port 5960 is in use"}));
  EXPECT_EQ(calls, 3);
  set_status_listener(nullptr);
  store_status({});
}

}  // namespace
}  // namespace tolvi
