#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>

#include "protocol/limits.h"

namespace tolvi {

// Every limit of the host core, in one place; the framing limits the client shares are in
// protocol/limits.h.

// Framing.
// A frame buffer starts this large and at most doubles with each read, so memory follows the
// bytes that actually arrived, never the length a peer announced.
constexpr std::size_t kFirstReadChunkBytes = 16 * 1024;

// Connection.
constexpr std::uint64_t kInitialCongestionLimit = 262144;
constexpr int kSocketSendBufferBytes = 262144;

// Large outgoing frame buffers are reused rather than freed: a few, of bounded size.
constexpr std::size_t kRecycledFrameMinBytes = 64 * 1024;
constexpr std::size_t kRecycledFrameMaxBytes = 4 * 1024 * 1024;
constexpr std::size_t kSpareRecords = 2;
// Bulk frames kept for bulk_frame: about what the bulk queue and one gathered write hold.
constexpr std::size_t kSpareBulkFrames = 8;
// Small main-queue frames waiting together are written with one gathered send: at most this
// many frames (the sockets' gather limit) and bytes.
constexpr std::size_t kMaxBatchFrames = 16;
constexpr std::size_t kMaxBatchBytes = 64 * 1024;

// Host server.
// The listen backlog is the system's maximum (platform::kMaxListenBacklog), so a burst of
// connects is queued, not dropped.
// After a failed accept (such as no free descriptors), so the loop does not spin.
constexpr std::chrono::milliseconds kAcceptRetryPause{10};
// From accept to the last byte of the password proof, however the bytes arrive.
constexpr std::chrono::milliseconds kHandshakeDeadline{15000};
// After the refusal of a wrong proof has been written, before the connection closes.
constexpr std::chrono::milliseconds kFailedProofPause{200};
// How long the refusal may take to be written: the sender thread writes it, and closing the
// connection first would drop it. A peer that does not take 34 bytes in this time is gone.
constexpr std::chrono::milliseconds kRefusalWriteLimit{2000};
constexpr std::chrono::milliseconds kDisplacementPoll{50};

// Before authentication the only frames are the 32-byte KeyExchange and AuthProof; anything
// announced longer ends the connection before a byte of it is buffered.
constexpr std::uint32_t kMaxPreAuthFrameBytes = 1024;

// Bytes queued to one client on the main queue outside the video path (which has its own
// congestion limit); beyond this the client has stopped reading and is closed.
constexpr std::uint64_t kMaxMainBacklogBytes = 64ull << 20;

// Handshakes in progress (accept to proof checked), in total and per address (an IPv6
// address counted by its /64). A full cap makes room by closing its oldest handshake.
constexpr std::size_t kMaxConcurrentHandshakes = 64;
constexpr std::size_t kMaxHandshakesPerAddress = 8;

// Guessing: the verdict on every proof from an address with recent failures is held for a
// delay that doubles with each failure, from the first delay up to the maximum; a success or
// a quiet minute forgets the failures. Beyond kSharedDelayFailures failures a minute across
// all addresses, a shared delay on the same schedule is added for everyone.
constexpr std::chrono::milliseconds kFirstFailureDelay{250};
constexpr std::chrono::milliseconds kMaxFailureDelay{10000};
constexpr std::chrono::seconds kFailureMemory{60};
constexpr int kSharedDelayFailures = 30;
// Addresses remembered (failures, log counts); the longest unseen idle one is forgotten.
constexpr std::size_t kMaxTrackedAddresses = 4096;

// Lines about unauthenticated peers: at most this many per address per interval; the rest
// are counted and the count is logged with the next line let through.
constexpr int kPreAuthLogLines = 5;
constexpr std::chrono::seconds kPreAuthLogInterval{60};

}  // namespace tolvi
