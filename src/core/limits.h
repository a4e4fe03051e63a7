#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

namespace tolvi {

// Every limit of the host core, in one place.

// Framing.
constexpr std::uint32_t kMaxPayloadBytes = 0x4000000;  // 64 MiB, plaintext payload
constexpr std::uint32_t kMinSealedBytes = 17;          // type byte + GCM tag
constexpr std::uint32_t kMaxSealedBytes = 0x4000000;
constexpr std::size_t kPlainHeaderBytes = 5;   // type + 32-bit length
constexpr std::size_t kSealedHeaderBytes = 4;  // 32-bit sealed length
// A frame buffer starts this large and at most doubles with each read, so memory follows the
// bytes that actually arrived, never the length a peer announced.
constexpr std::size_t kFirstReadChunkBytes = 16 * 1024;

// Connection.
constexpr std::uint64_t kInitialCongestionLimit = 262144;
constexpr int kSocketSendBufferBytes = 262144;
constexpr std::uint64_t kBulkBacklogLimit = 0x80000;  // shared folder's wait_bulk_below

// Large outgoing frame buffers are reused rather than freed: a few, of bounded size.
constexpr std::size_t kRecycledFrameMinBytes = 64 * 1024;
constexpr std::size_t kRecycledFrameMaxBytes = 4 * 1024 * 1024;
constexpr std::size_t kSpareRecords = 2;
// Small main-queue frames waiting together are written with one gathered send: at most this
// many frames (the sockets' gather limit) and bytes.
constexpr std::size_t kMaxBatchFrames = 16;
constexpr std::size_t kMaxBatchBytes = 64 * 1024;

// Host server.
constexpr int kListenBacklog = 4;
// After a failed accept (such as no free descriptors), so the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetryPause{10};
constexpr std::chrono::milliseconds kHandshakeReadTimeout{15000};
constexpr std::chrono::milliseconds kFailedProofPause{200};
constexpr std::chrono::milliseconds kDisplacementPoll{50};

// Flood and guessing protection at accept time.
constexpr std::size_t kMaxConcurrentHandshakes = 64;
constexpr std::chrono::seconds kRefusalLogInterval{1};
constexpr int kMaxFailedProofs = 5;  // within kFailedProofWindow, then the address is blocked
constexpr std::chrono::seconds kFailedProofWindow{60};
constexpr std::chrono::seconds kAddressBlockTime{60};
// Addresses remembered for the failed-proof count; the oldest is forgotten beyond this.
constexpr std::size_t kMaxTrackedAddresses = 4096;

}  // namespace tolvi
