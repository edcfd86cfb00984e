// Decoding and encoding scrambled values of typical and maximal length, each beside a plain
// copy of the value's bytes: the cheapest thing that touches the same amount of memory.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "codec/scrambled_value.h"

namespace {

// A connection-string-like text of exactly `length` characters.
std::string TextOfLength(std::int64_t length) {
  const std::string pattern =
      "Provider=SQLOLEDB.1;Data Source=db01,1433;Initial Catalog=KIVO;User ID=kivo;Password=x;";
  std::string text;
  while (static_cast<std::int64_t>(text.size()) < length) text += pattern;
  text.resize(static_cast<std::size_t>(length));
  return text;
}

// Fixed random numbers, so that every iteration encodes the same value.
double FixedDraws(std::int32_t lower, std::int32_t span) { return lower + (span == 33 ? 7 : 42); }

void SetCounters(benchmark::State& state, std::int64_t characters) {
  state.SetItemsProcessed(state.iterations() * characters);
  state.counters["chars"] = static_cast<double>(characters);
}

void BM_Decode(benchmark::State& state) {
  const std::string value = kivo::EncodeValue(TextOfLength(state.range(0)), FixedDraws);
  for (auto _ : state) {
    std::string text = kivo::DecodeValue(value);
    benchmark::DoNotOptimize(text.data());
  }
  SetCounters(state, state.range(0));
}

void BM_Encode(benchmark::State& state) {
  const std::string text = TextOfLength(state.range(0));
  for (auto _ : state) {
    std::string value = kivo::EncodeValue(text);
    benchmark::DoNotOptimize(value.data());
  }
  SetCounters(state, state.range(0));
}

// Without the clock-seeded generator: what the scrambling itself costs.
void BM_EncodeFixedDraws(benchmark::State& state) {
  const std::string text = TextOfLength(state.range(0));
  const kivo::RandomSource random = FixedDraws;
  for (auto _ : state) {
    std::string value = kivo::EncodeValue(text, random);
    benchmark::DoNotOptimize(value.data());
  }
  SetCounters(state, state.range(0));
}

void BM_RandomBetween(benchmark::State& state) {
  for (auto _ : state) benchmark::DoNotOptimize(kivo::RandomBetween(0, 33));
}

// A new string holding a copy of the value: allocation and memcpy, as a result string costs.
void BM_CopyValue(benchmark::State& state) {
  const std::string value = kivo::EncodeValue(TextOfLength(state.range(0)), FixedDraws);
  for (auto _ : state) {
    benchmark::DoNotOptimize(value.data());
    std::string copy = value;
    benchmark::DoNotOptimize(copy.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(value.size()));
  SetCounters(state, state.range(0));
}

}  // namespace

BENCHMARK(BM_Decode)->Arg(0)->Arg(100)->Arg(967);
BENCHMARK(BM_Encode)->Arg(0)->Arg(100)->Arg(967);
BENCHMARK(BM_EncodeFixedDraws)->Arg(0)->Arg(100)->Arg(967);
BENCHMARK(BM_RandomBetween);
BENCHMARK(BM_CopyValue)->Arg(0)->Arg(100)->Arg(967);

BENCHMARK_MAIN();
