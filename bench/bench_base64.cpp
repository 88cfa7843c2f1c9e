// Signed messages and files of up to 100 MB cross the codec as Base64, so
// both families are timed on large buffers in both directions.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <random>
#include <string>

#include "encoding/base64.h"

namespace {

std::string randomBytes(size_t n) {
    std::mt19937_64 rng(42);
    std::string bytes(n, '\0');
    for (size_t i = 0; i < n; i += 8) {
        const uint64_t word = rng();
        for (size_t k = 0; k < 8 && i + k < n; ++k) bytes[i + k] = static_cast<char>(word >> (8 * k));
    }
    return bytes;
}

void BM_EncodeWrapped(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(encoding::encodeBase64Wrapped(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DecodeWrapped(benchmark::State& state) {
    const std::string text = encoding::encodeBase64Wrapped(randomBytes(static_cast<size_t>(state.range(0))));
    std::string bytes;
    for (auto _ : state) {
        benchmark::DoNotOptimize(encoding::decodeBase64Wrapped(text, bytes));
        benchmark::DoNotOptimize(bytes.data());
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_EncodePlain(benchmark::State& state) {
    const std::string bytes = randomBytes(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(encoding::encodeBase64Plain(bytes));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

void BM_DecodePlain(benchmark::State& state) {
    const std::string text = encoding::encodeBase64Plain(randomBytes(static_cast<size_t>(state.range(0))));
    for (auto _ : state) benchmark::DoNotOptimize(encoding::decodeBase64Plain(text));
    state.SetBytesProcessed(state.iterations() * state.range(0));
}

// Bytes processed count the binary side, so encode and decode rates compare.
constexpr int64_t MB = 1 << 20;
BENCHMARK(BM_EncodeWrapped)->Arg(MB)->Arg(10 * MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodeWrapped)->Arg(MB)->Arg(10 * MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_EncodePlain)->Arg(MB)->Arg(10 * MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DecodePlain)->Arg(MB)->Arg(10 * MB)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
