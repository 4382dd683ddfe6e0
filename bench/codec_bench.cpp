// Codec costs per message: decryption (key schedules built afresh per call)
// against OpenSSL's two-key triple DES CBC with a prepared key, inflation
// against zlib's uncompress into a sized buffer, Base64 of proxy
// credentials, and request building.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include "codec/base64.h"
#include "codec/des.h"
#include "codec/inflate.h"
#include "codec/keys.h"
#include "send/http_request.h"

namespace {

using namespace corvane;

std::string MessageText(size_t n) {
  std::string text;
  std::mt19937 rng(3);
  while (text.size() < n) {
    text +=
        "\x02"
        "1=" +
        std::to_string(rng() % 100000) + "|2=" + std::to_string(rng() % 1000) + "." +
        std::to_string(rng() % 100) + "|3=NSE|";
  }
  text.resize(n);
  return text;
}

void BM_DecryptText(benchmark::State& state) {
  const auto n = static_cast<int32_t>(state.range(0));
  const std::string text = MessageText(static_cast<size_t>(n));
  auto cipher = CryptText(1, g_strFixedKey, reinterpret_cast<const unsigned char*>(text.data()), n);
  for (auto _ : state) {
    auto out = DecryptText(g_strFixedKey, cipher.get(), n);
    benchmark::DoNotOptimize(out.get());
  }
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_DecryptText)->Arg(64)->Arg(1024)->Arg(32768);

void BM_OpenSslDesEdeCbcDecrypt(benchmark::State& state) {
  const auto n = static_cast<int>(state.range(0));
  const std::vector<unsigned char> cipher(static_cast<size_t>(n), 0x5A);
  std::vector<unsigned char> out(static_cast<size_t>(n) + 16);
  const unsigned char iv[8] = {};
  const auto* key = reinterpret_cast<const unsigned char*>(g_strFixedKey.data());
  EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
  for (auto _ : state) {
    int len = 0;
    EVP_DecryptInit_ex(ctx, EVP_des_ede_cbc(), nullptr, key, iv);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    EVP_DecryptUpdate(ctx, out.data(), &len, cipher.data(), n);
    benchmark::DoNotOptimize(out.data());
  }
  EVP_CIPHER_CTX_free(ctx);
  state.SetBytesProcessed(state.iterations() * n);
}
BENCHMARK(BM_OpenSslDesEdeCbcDecrypt)->Arg(64)->Arg(1024)->Arg(32768);

std::vector<unsigned char> Compressed(const std::string& text) {
  std::vector<unsigned char> payload(compressBound(static_cast<uLong>(text.size() + 1)));
  uLongf n = static_cast<uLongf>(payload.size());
  compress(payload.data(), &n, reinterpret_cast<const Bytef*>(text.c_str()),
           static_cast<uLong>(text.size() + 1));
  payload.resize(n);
  return payload;
}

void BM_InflateText(benchmark::State& state) {
  const std::string text = MessageText(static_cast<size_t>(state.range(0)));
  const auto payload = Compressed(text);
  for (auto _ : state) {
    std::string out = InflateText(payload.data(), static_cast<int32_t>(payload.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
  state.counters["payload"] = static_cast<double>(payload.size());
}
BENCHMARK(BM_InflateText)->Arg(256)->Arg(4096)->Arg(65536);

void BM_ZlibUncompress(benchmark::State& state) {
  const std::string text = MessageText(static_cast<size_t>(state.range(0)));
  const auto payload = Compressed(text);
  std::vector<unsigned char> out(text.size() + 1);
  for (auto _ : state) {
    uLongf n = static_cast<uLongf>(out.size());
    uncompress(out.data(), &n, payload.data(), static_cast<uLong>(payload.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(text.size()));
}
BENCHMARK(BM_ZlibUncompress)->Arg(256)->Arg(4096)->Arg(65536);

void BM_Base64Credentials(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(Base64Encode("trader01:s3cret-passw0rd"));
}
BENCHMARK(BM_Base64Credentials);

void BM_BuildHttpRequest(benchmark::State& state) {
  const std::string message = MessageText(200);
  for (auto _ : state) {
    benchmark::DoNotOptimize(BuildHttpRequest("10.20.30.40", message, 1, true, "dXNlcjpwYXNz"));
  }
}
BENCHMARK(BM_BuildHttpRequest);

}  // namespace

BENCHMARK_MAIN();
