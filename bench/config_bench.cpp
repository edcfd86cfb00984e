// Finding the CAYUSR entry in web.config files of 10 KB, 1 MB and 64 MB with the entry at the
// very end, the worst place for it. Each measurement has its limit beside it: memmem over the
// same bytes in memory for the search; one read() into one buffer, alone and followed by
// memmem, for the file.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

#include "upgrade/connection/connection_settings.h"

namespace {

constexpr std::string_view kEntryValue = "04213513613749207";

// appSettings entries up to `size` bytes, the CAYUSR entry and the closing tags last. The
// filler is full of `key="` and " />", so a search that stops at every near miss pays for it.
std::string ConfigurationOfSize(std::size_t size) {
  const std::string head =
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\r\n<configuration>\r\n  <appSettings>\r\n";
  const std::string tail = "    <add " + std::string(kivo::kKeyMarker) + "\"" +
                           std::string(kEntryValue) +
                           "\" />\r\n  </appSettings>\r\n</configuration>\r\n";
  std::string text = head;
  text.reserve(size);
  char line[128];
  for (unsigned i = 0; text.size() + tail.size() < size; ++i) {
    std::snprintf(line, sizeof line,
                  "    <add key=\"Setting%06u\" value=\"Path=D:\\Kivo\\%u\" />\r\n", i, i % 977);
    text += line;
  }
  text.resize(size - tail.size(), ' ');
  return text + tail;
}

struct Sample {
  std::string label;
  std::string path;
  std::string bytes;
};

void Check(bool ok, const char* what) {
  if (!ok) throw std::runtime_error(what);
}

void BM_Extract(benchmark::State& state, const Sample* sample) {
  for (auto _ : state) {
    std::string value = kivo::ExtractScrambledValue(sample->bytes);
    benchmark::DoNotOptimize(value.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample->bytes.size()));
}

void BM_Memmem(benchmark::State& state, const Sample* sample) {
  const std::string_view marker = kivo::kKeyMarker;
  for (auto _ : state) {
    const void* found =
        memmem(sample->bytes.data(), sample->bytes.size(), marker.data(), marker.size());
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample->bytes.size()));
}

void BM_ReadAndExtract(benchmark::State& state, const Sample* sample) {
  for (auto _ : state) {
    std::string value = kivo::ExtractScrambledValue(kivo::ReadConfigurationFile(sample->path));
    benchmark::DoNotOptimize(value.data());
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample->bytes.size()));
}

// open, fstat, one buffer of the file's size, read() until the end: the least a reader can do.
std::unique_ptr<char[]> PlainRead(const std::string& path, std::size_t& filled) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat st {};
  fstat(fd, &st);
  const auto size = static_cast<std::size_t>(st.st_size);
  std::unique_ptr<char[]> buffer(new char[size]);
  filled = 0;
  while (filled < size) {
    const ssize_t got = read(fd, buffer.get() + filled, size - filled);
    if (got <= 0) break;
    filled += static_cast<std::size_t>(got);
  }
  close(fd);
  return buffer;
}

void BM_PlainRead(benchmark::State& state, const Sample* sample) {
  for (auto _ : state) {
    std::size_t filled = 0;
    std::unique_ptr<char[]> buffer = PlainRead(sample->path, filled);
    benchmark::DoNotOptimize(buffer.get());
    benchmark::DoNotOptimize(filled);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample->bytes.size()));
}

// The limit for reading and searching together.
void BM_PlainReadMemmem(benchmark::State& state, const Sample* sample) {
  const std::string_view marker = kivo::kKeyMarker;
  for (auto _ : state) {
    std::size_t filled = 0;
    std::unique_ptr<char[]> buffer = PlainRead(sample->path, filled);
    const void* found = memmem(buffer.get(), filled, marker.data(), marker.size());
    benchmark::DoNotOptimize(found);
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sample->bytes.size()));
}

}  // namespace

int main(int argc, char** argv) {
  char dirTemplate[] = "/tmp/kivo-config-bench-XXXXXX";
  const char* dir = mkdtemp(dirTemplate);
  if (dir == nullptr) {
    std::perror("mkdtemp");
    return 1;
  }
  int status = 1;
  try {
    std::vector<std::unique_ptr<Sample>> samples;
    for (const auto& [label, size] : std::vector<std::pair<std::string, std::size_t>>{
             {"10KB", 10u << 10}, {"1MB", 1u << 20}, {"64MB", 64u << 20}}) {
      auto sample = std::make_unique<Sample>();
      sample->label = label;
      sample->path = std::string(dir) + "/web-" + label + ".config";
      sample->bytes = ConfigurationOfSize(size);
      std::ofstream(sample->path, std::ios::binary) << sample->bytes;
      Check(kivo::ExtractScrambledValue(kivo::ReadConfigurationFile(sample->path)) == kEntryValue,
            "the sample's entry does not read back");
      samples.push_back(std::move(sample));
    }
    for (const auto& s : samples) {
      const Sample* p = s.get();
      benchmark::RegisterBenchmark(("Extract/" + s->label).c_str(), BM_Extract, p);
      benchmark::RegisterBenchmark(("Memmem/" + s->label).c_str(), BM_Memmem, p);
      benchmark::RegisterBenchmark(("ReadAndExtract/" + s->label).c_str(), BM_ReadAndExtract, p);
      benchmark::RegisterBenchmark(("PlainRead/" + s->label).c_str(), BM_PlainRead, p);
      benchmark::RegisterBenchmark(("PlainReadMemmem/" + s->label).c_str(), BM_PlainReadMemmem, p);
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    status = 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "config_bench: %s\n", e.what());
  }
  std::error_code ec;
  std::filesystem::remove_all(dir, ec);
  return status;
}
