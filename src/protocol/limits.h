#pragma once
#include <cstddef>
#include <cstdint>

namespace tolvi {

// Limits of the wire that host and client both hold to.

// Framing.
constexpr std::uint32_t kMaxPayloadBytes = 0x4000000;  // 64 MiB, plaintext payload
constexpr std::uint32_t kMinSealedBytes = 17;          // type byte + GCM tag
constexpr std::uint32_t kMaxSealedBytes = 0x4000000;
constexpr std::size_t kPlainHeaderBytes = 5;   // type + 32-bit length
constexpr std::size_t kSealedHeaderBytes = 4;  // 32-bit sealed length

// Session transport. Written data that the system has not yet put on the wire is kept near
// this on the session socket (both ends), so that a video frame or an input message queued
// behind shared-folder data waits for little of it; the shared folder's reader in turn waits
// for the host's bulk queue to hold no more than this before reading on.
constexpr int kSessionUnsentBytes = 128 * 1024;

// The longest clipboard text exchanged, in UTF-8 bytes, both ways.
constexpr std::size_t kMaxClipboardTextBytes = 1048575;

}  // namespace tolvi
