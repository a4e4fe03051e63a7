// The messages between the service and an agent that runs as the signed-in person: secrets
// survive the trip whole or not at all, and a status line from the agent (another account's
// process) is stored only as one safe line.
#include "service/agent_hand_over.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tolvi {
namespace {

std::vector<std::uint8_t> bytes(const std::string& text) { return {text.begin(), text.end()}; }

TEST(AgentHandOver, SecretsRoundTripAndBrokenMessagesAreRefused) {
  std::uint8_t identity[kHandOverIdentityBytes];
  for (std::size_t i = 0; i < sizeof identity; ++i) identity[i] = static_cast<std::uint8_t>(i * 7);
  for (const std::string& password : {std::string("abcdefghjk"), std::string(),
                                      std::string(kMaxHandedPasswordBytes, 'p')}) {
    SecretBytes message = encode_secrets(password, identity);
    ASSERT_FALSE(message.bytes.empty());
    HandedSecrets out;
    ASSERT_TRUE(decode_secrets(message.bytes, out)) << password.size();
    EXPECT_EQ(out.password, password);
    EXPECT_EQ(std::vector<std::uint8_t>(out.identity.bytes, out.identity.bytes + 32),
              std::vector<std::uint8_t>(identity, identity + 32));
    // Cut short, one byte too many, or a status message instead: nothing is taken.
    std::vector<std::uint8_t> shorter(message.bytes.begin(), message.bytes.end() - 1);
    std::vector<std::uint8_t> longer = message.bytes;
    longer.push_back(0);
    std::vector<std::uint8_t> other_kind = message.bytes;
    other_kind[0] = 'T';
    for (const auto& broken : {shorter, longer, other_kind}) {
      HandedSecrets kept;
      kept.password = "kept";
      EXPECT_FALSE(decode_secrets(broken, kept));
      EXPECT_EQ(kept.password, "kept");
    }
  }
  // A password too long to hand over is not cut: nothing is sent.
  EXPECT_TRUE(encode_secrets(std::string(kMaxHandedPasswordBytes + 1, 'p'), identity).bytes.empty());
}

TEST(AgentHandOver, StatusFromTheAgentIsOneSafeLine) {
  struct Case {
    std::string sent;
    std::string stored;
  } cases[] = {
      {"Connected: 192.0.2.7", "Connected: 192.0.2.7"},
      {"", ""},
      {"two\nlines\r\tand\x7f", "two lines  and "},
      {"caf\xc3\xa9 \xe2\x9c\x93", "caf\xc3\xa9 \xe2\x9c\x93"},
      {"bad \xff\xc0 bytes \xe2\x9c", "bad  bytes "},  // stray bytes and a cut character dropped
  };
  for (const Case& c : cases) {
    const auto stored = decode_status(encode_status(c.sent));
    ASSERT_TRUE(stored) << c.sent;
    EXPECT_EQ(*stored, c.stored);
  }
  // Longer texts are cut, never at a character's middle.
  std::string long_text(kMaxHandedStatusBytes - 1, 'x');
  long_text += "\xc3\xa9\xc3\xa9";
  const auto cut = decode_status(encode_status(long_text));
  ASSERT_TRUE(cut);
  EXPECT_EQ(*cut, std::string(kMaxHandedStatusBytes - 1, 'x'));
  EXPECT_FALSE(decode_status(bytes("Sxyz")));
  EXPECT_FALSE(decode_status({}));
}

}  // namespace
}  // namespace tolvi
