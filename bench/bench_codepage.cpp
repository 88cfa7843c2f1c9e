// Code page 936 both ways on large texts: every string a page hands the
// control crosses this conversion, up to the 100 MB limit.
#include <benchmark/benchmark.h>

#include <string>

#include "platform/codepage/codepage.h"

namespace {

std::u16string mixedText(size_t units) {
    // Chinese and ASCII in turn, as bank pages write them.
    const std::u16string pattern = u"转账 1,000.00 元至账户 6222 0000 8765 4321；";
    std::u16string text;
    text.reserve(units + pattern.size());
    while (text.size() < units) text += pattern;
    text.resize(units);
    return text;
}

void WideToGbk(benchmark::State& state) {
    const std::u16string text = mixedText(static_cast<size_t>(state.range(0)));
    for (auto _ : state) benchmark::DoNotOptimize(codepage::fromWide(text, codepage::CP_GBK));
    state.SetBytesProcessed(state.iterations() * state.range(0) * 2);
}

void GbkToWide(benchmark::State& state) {
    const std::string bytes = codepage::fromWide(mixedText(static_cast<size_t>(state.range(0))), codepage::CP_GBK);
    for (auto _ : state) benchmark::DoNotOptimize(codepage::toWide(bytes, codepage::CP_GBK));
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(bytes.size()));
}

BENCHMARK(WideToGbk)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);
BENCHMARK(GbkToWide)->Arg(1 << 20)->Arg(16 << 20)->Unit(benchmark::kMillisecond);

}  // namespace
