#pragma once
#include <cstdint>

namespace tolvi {

// The message catalogue shared by host and client. "to host" messages come from the client.
enum class MessageType : std::uint8_t {
  HostHello = 0x01,        // to client, plaintext: magic, version, random, keys, computer name
  AuthProof = 0x02,        // to host, sealed: the client's password proof
  AuthResult = 0x03,       // to client, sealed: success byte and, on success, the host proof
  KeyExchange = 0x04,      // to host, plaintext: the client's ephemeral X25519 public key
  StreamConfig = 0x10,     // to host: the stream the client asks for
  StreamInfo = 0x20,       // to client: parameters of the (re)built stream
  VideoFrame = 0x21,       // to client: one encoded access unit
  CursorShape = 0x22,      // to client: pointer update
  ClipboardText = 0x30,    // both ways
  Ping = 0x40,             // to host: any payload
  Pong = 0x41,             // to client: the Ping's payload
  MouseMove = 0x50,        // to host
  MouseButton = 0x51,      // to host
  MouseWheel = 0x52,       // to host
  Key = 0x53,              // to host
  KeyframeRequest = 0x54,  // to host
  ReleaseKeys = 0x55,      // to host
  CtrlAltDel = 0x56,       // to host
  FolderShare = 0x60,      // to host
  FolderOpen = 0x61,       // to client
  FolderData = 0x62,       // both ways
  FolderClose = 0x63,      // both ways
  FolderStatus = 0x64,     // to client
};

constexpr std::uint8_t code(MessageType type) { return static_cast<std::uint8_t>(type); }

// A readable name for a code ("Pong"), or nullptr for codes outside the catalogue.
const char* message_type_name(std::uint8_t code);

}  // namespace tolvi
