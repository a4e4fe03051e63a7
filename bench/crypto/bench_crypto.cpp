// Cost of the host's cryptography, each figure against OpenSSL measured in the same run:
//   x25519 against OpenSSL's X25519 (goal: at most 1.5 times its time);
//   RecordKey seal + open of 64 KiB and 1 MiB records against raw EVP AES-128-GCM (goal: at
//   least 0.95 of its throughput);
//   the cryptography of one host-side handshake (goal: under 0.3 ms of CPU).
// The goals are printed next to the ratios; nothing is asserted.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "crypto/hash.h"
#include "crypto/record_key.h"
#include "crypto/x25519.h"

namespace {

using Bytes32 = std::array<std::uint8_t, 32>;

constexpr Bytes32 kScalar = {0xa5, 0x46, 0xe3, 0x6b, 0xf0, 0x52, 0x7c, 0x9d, 0x3b, 0x16, 0x15,
                             0x4b, 0x82, 0x46, 0x5e, 0xdd, 0x62, 0x14, 0x4c, 0x0a, 0xc1, 0xfc,
                             0x5a, 0x18, 0x50, 0x6a, 0x22, 0x44, 0xba, 0x44, 0x9a, 0xc4};
constexpr Bytes32 kPeer = {0xe6, 0xdb, 0x68, 0x67, 0x58, 0x30, 0x30, 0xdb, 0x35, 0x94, 0xc1,
                           0xa4, 0x24, 0xb1, 0x5f, 0x7c, 0x72, 0x66, 0x24, 0xec, 0x26, 0xb3,
                           0x35, 0x3b, 0x10, 0xa9, 0x03, 0xa6, 0xd0, 0xab, 0x1c, 0x4c};
constexpr std::uint8_t kRecordKey[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};

void BM_X25519_Ours(benchmark::State& state) {
  Bytes32 out{};
  for (auto _ : state) {
    tolvi::x25519(out.data(), kScalar.data(), kPeer.data());
    benchmark::DoNotOptimize(out);
  }
}

// OpenSSL at its cheapest: keys and derive context made once, only the derivation timed.
void BM_X25519_OpenSsl(benchmark::State& state) {
  EVP_PKEY* priv = EVP_PKEY_new_raw_private_key(EVP_PKEY_X25519, nullptr, kScalar.data(), 32);
  EVP_PKEY* peer = EVP_PKEY_new_raw_public_key(EVP_PKEY_X25519, nullptr, kPeer.data(), 32);
  EVP_PKEY_CTX* ctx = EVP_PKEY_CTX_new(priv, nullptr);
  if (ctx == nullptr || EVP_PKEY_derive_init(ctx) != 1 ||
      EVP_PKEY_derive_set_peer(ctx, peer) != 1) {
    state.SkipWithError("OpenSSL X25519 unavailable");
  }
  Bytes32 out{};
  for (auto _ : state) {
    std::size_t length = out.size();
    EVP_PKEY_derive(ctx, out.data(), &length);
    benchmark::DoNotOptimize(out);
  }
  EVP_PKEY_CTX_free(ctx);
  EVP_PKEY_free(peer);
  EVP_PKEY_free(priv);
}

// One record sealed by one key and opened by its twin; the output vectors are reused, as a
// sender reusing its buffer would.
void BM_SealOpen_RecordKey(benchmark::State& state) {
  const std::vector<std::uint8_t> plain(static_cast<std::size_t>(state.range(0)), 0x5a);
  tolvi::RecordKey sender(kRecordKey), receiver(kRecordKey);
  std::vector<std::uint8_t> record, opened;
  for (auto _ : state) {
    if (!sender.seal(plain.data(), plain.size(), record) ||
        !receiver.open(record.data(), record.size(), opened)) {
      state.SkipWithError("seal or open failed");
      break;
    }
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
}

// The same work with EVP directly: one pre-keyed context per direction, a nonce per record.
void BM_SealOpen_RawEvp(benchmark::State& state) {
  const std::size_t size = static_cast<std::size_t>(state.range(0));
  const std::vector<std::uint8_t> plain(size, 0x5a);
  std::vector<std::uint8_t> record(size + 16), opened(size);
  EVP_CIPHER_CTX* enc = EVP_CIPHER_CTX_new();
  EVP_CIPHER_CTX* dec = EVP_CIPHER_CTX_new();
  EVP_EncryptInit_ex(enc, EVP_aes_128_gcm(), nullptr, kRecordKey, nullptr);
  EVP_DecryptInit_ex(dec, EVP_aes_128_gcm(), nullptr, kRecordKey, nullptr);
  std::uint64_t counter = 0;
  for (auto _ : state) {
    std::uint8_t nonce[12] = {};
    for (int b = 0; b < 8; ++b) nonce[4 + b] = static_cast<std::uint8_t>(counter >> (8 * b));
    ++counter;
    int n = 0;
    bool ok =
        EVP_EncryptInit_ex(enc, nullptr, nullptr, nullptr, nonce) == 1 &&
        EVP_EncryptUpdate(enc, record.data(), &n, plain.data(), static_cast<int>(size)) == 1 &&
        EVP_EncryptFinal_ex(enc, record.data() + n, &n) == 1 &&
        EVP_CIPHER_CTX_ctrl(enc, EVP_CTRL_GCM_GET_TAG, 16, record.data() + size) == 1;
    ok = ok && EVP_DecryptInit_ex(dec, nullptr, nullptr, nullptr, nonce) == 1 &&
         EVP_DecryptUpdate(dec, opened.data(), &n, record.data(), static_cast<int>(size)) == 1 &&
         EVP_CIPHER_CTX_ctrl(dec, EVP_CTRL_GCM_SET_TAG, 16, record.data() + size) == 1 &&
         EVP_DecryptFinal_ex(dec, opened.data() + n, &n) == 1;
    if (!ok) {
      state.SkipWithError("EVP seal or open failed");
      break;
    }
    benchmark::DoNotOptimize(opened.data());
  }
  state.SetBytesProcessed(state.iterations() * state.range(0));
  EVP_CIPHER_CTX_free(enc);
  EVP_CIPHER_CTX_free(dec);
}

// The host side of one handshake: its ephemeral and identity public keys, the two shared
// secrets, the transcript hash, the two record keys and the two password-proof MACs.
void BM_HostHandshakeCrypto(benchmark::State& state) {
  Bytes32 identity = kScalar, ephemeral = kScalar, client_public = kPeer;
  ephemeral[0] ^= 0x55;
  std::vector<std::uint8_t> transcript(200, 0x33);
  for (auto _ : state) {
    Bytes32 identity_public{}, ephemeral_public{}, hash{}, proof{}, check{};
    std::array<std::uint8_t, 64> shared{};
    std::uint8_t c2s[16], s2c[16];
    tolvi::x25519_base(identity_public.data(), identity.data());
    tolvi::x25519_base(ephemeral_public.data(), ephemeral.data());
    tolvi::x25519(shared.data(), ephemeral.data(), client_public.data());
    tolvi::x25519(shared.data() + 32, identity.data(), client_public.data());
    transcript[0] = ephemeral_public[0];
    tolvi::sha256(transcript.data(), transcript.size(), hash.data());
    tolvi::hkdf_sha256(shared.data(), shared.size(), hash.data(), hash.size(), "tolvi c2s", c2s,
                       sizeof(c2s));
    tolvi::hkdf_sha256(shared.data(), shared.size(), hash.data(), hash.size(), "tolvi s2c", s2c,
                       sizeof(s2c));
    tolvi::hmac_sha256(c2s, sizeof(c2s), hash.data(), hash.size(), proof.data());
    tolvi::hmac_sha256(s2c, sizeof(s2c), hash.data(), hash.size(), check.data());
    benchmark::DoNotOptimize(proof);
    benchmark::DoNotOptimize(check);
  }
}

BENCHMARK(BM_X25519_Ours)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_X25519_OpenSsl)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SealOpen_RecordKey)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_SealOpen_RawEvp)->Arg(64 << 10)->Arg(1 << 20)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_HostHandshakeCrypto)->Unit(benchmark::kMicrosecond);

// Prints the usual table, keeps each benchmark's CPU seconds per iteration (the median when
// repetitions are asked for) and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type != Run::RT_Iteration && !median) continue;
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (median || medians_.count(name) == 0) {
        seconds_[name] = run.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      }
      if (median) medians_[name] = true;
    }
  }

  void PrintRatios() const {
    std::printf("\n");
    if (has("BM_X25519_Ours") && has("BM_X25519_OpenSsl")) {
      const double ours = at("BM_X25519_Ours"), theirs = at("BM_X25519_OpenSsl");
      std::printf("x25519: ours %.1f us, OpenSSL %.1f us, ratio %.2fx (goal <= 1.5x)\n", ours * 1e6,
                  theirs * 1e6, ours / theirs);
    }
    for (const char* size : {"65536", "1048576"}) {
      const std::string ours_name = std::string("BM_SealOpen_RecordKey/") + size;
      const std::string raw_name = std::string("BM_SealOpen_RawEvp/") + size;
      if (!has(ours_name) || !has(raw_name)) continue;
      const double bytes = std::stod(size);
      const double ours = bytes / at(ours_name) / 1e9, raw = bytes / at(raw_name) / 1e9;
      std::printf(
          "seal+open %s B: RecordKey %.2f GB/s, raw EVP %.2f GB/s, ratio %.3f "
          "(goal >= 0.95)\n",
          size, ours, raw, ours / raw);
    }
    if (has("BM_HostHandshakeCrypto")) {
      std::printf("host handshake crypto: %.3f ms CPU (goal < 0.3 ms)\n",
                  at("BM_HostHandshakeCrypto") * 1e3);
    }
  }

 private:
  bool has(const std::string& name) const { return seconds_.count(name) != 0; }
  double at(const std::string& name) const { return seconds_.at(name); }

  std::map<std::string, double> seconds_;
  std::map<std::string, bool> medians_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
