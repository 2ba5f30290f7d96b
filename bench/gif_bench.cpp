// GIF encode and decode throughput against giflib on the same 1920x1080 8-bit frames: an
// ordered-dithered photo-like frame, a flat frame and random indices. Prints MB/s of pixels and,
// at the end, the ratio ours / giflib for each pair.
#include <benchmark/benchmark.h>
#include <gif_lib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "gif/cGIF.h"
#include "gif/mGIFLZWEnc.h"
#include "platform/fs.h"

namespace {

constexpr int kW = 1920, kH = 1080;

struct Frame {
  std::string name;
  std::vector<uint8_t> pixels;  // kW * kH indices into the 216-colour cube
  std::vector<uint8_t> file;    // the same frame as a GIF written by Save
};

// A smooth synthetic scene mapped onto a 6x6x6 cube with a 4x4 ordered dither.
std::vector<uint8_t> PhotoLike() {
  static constexpr int kBayer[4][4] = {
      {0, 8, 2, 10}, {12, 4, 14, 6}, {3, 11, 1, 9}, {15, 7, 13, 5}};
  std::vector<uint8_t> v(size_t(kW) * kH);
  for (int y = 0; y < kH; ++y) {
    for (int x = 0; x < kW; ++x) {
      const double fx = x / double(kW), fy = y / double(kH);
      const double r = 0.5 + 0.5 * std::sin(fx * 7.0 + fy * 3.0);
      const double g = 0.5 + 0.5 * std::sin(fy * 9.0 - fx * 2.0 + 1.0);
      const double b = 0.5 + 0.5 * std::cos((fx - 0.4) * (fy - 0.6) * 25.0);
      const double t = (kBayer[y & 3][x & 3] + 0.5) / 16.0;
      auto level = [t](double c) { return std::min(5, int(c * 5.0 + t)); };
      v[size_t(y) * kW + x] = uint8_t(level(b) * 36 + level(g) * 6 + level(r));
    }
  }
  return v;
}

std::vector<Frame>& Frames() {
  static std::vector<Frame> frames = [] {
    std::vector<Frame> f(3);
    f[0].name = "photo";
    f[0].pixels = PhotoLike();
    f[1].name = "flat";
    f[1].pixels.assign(size_t(kW) * kH, 77);
    f[2].name = "random";
    f[2].pixels.resize(size_t(kW) * kH);
    std::mt19937 rng(5);
    for (auto& p : f[2].pixels) p = uint8_t(rng());
    qm::PrivateTempFolder tmp;
    for (auto& fr : f) {
      qm::cGIF gif;
      gif.FrameInsert(1, kW, kH);
      gif.SetGlobalPaletteExists(true);
      gif.SetGlobalPaletteEntries(256);
      auto dib = gif.FrameDIBXOR(1);
      for (int y = 0; y < kH; ++y)
        std::memcpy(dib->lpBits() + size_t(y) * dib->BytesPerScanline(),
                    fr.pixels.data() + size_t(y) * kW, kW);
      const std::string path = qm::JoinPath(tmp.path(), fr.name + ".gif");
      if (!gif.Save(path)) std::fprintf(stderr, "Save failed for %s\n", fr.name.c_str());
      fr.file = qm::ReadWholeFile(path);
    }
    return f;
  }();
  return frames;
}

void EncodeOurs(benchmark::State& state, const Frame* f) {
  std::vector<const uint8_t*> rows(kH);
  for (int y = 0; y < kH; ++y) rows[y] = f->pixels.data() + size_t(y) * kW;
  qm::MemoryGifOutput out;
  out.bytes.reserve(size_t(kW) * kH * 2);
  for (auto _ : state) {
    out.bytes.clear();
    qm::EncodePixels(out, rows, kW, 9, false);
    benchmark::DoNotOptimize(out.bytes.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["out_bytes"] = double(out.bytes.size());
}

int WriteToVector(GifFileType* gif, const GifByteType* data, int n) {
  auto* v = static_cast<std::vector<uint8_t>*>(gif->UserData);
  v->insert(v->end(), data, data + n);
  return n;
}

void EncodeGiflib(benchmark::State& state, const Frame* f) {
  std::vector<uint8_t> out;
  out.reserve(size_t(kW) * kH * 2);
  std::vector<GifColorType> colours(256);
  std::vector<uint8_t> line(kW);
  for (auto _ : state) {
    out.clear();
    int err = 0;
    GifFileType* gif = EGifOpen(&out, WriteToVector, &err);
    ColorMapObject* map = GifMakeMapObject(256, colours.data());
    EGifPutScreenDesc(gif, kW, kH, 8, 0, map);
    EGifPutImageDesc(gif, 0, 0, kW, kH, false, nullptr);
    for (int y = 0; y < kH; ++y) {
      // EGifPutLine masks the line in place, so it gets a copy as a caller would pass.
      std::memcpy(line.data(), f->pixels.data() + size_t(y) * kW, kW);
      EGifPutLine(gif, line.data(), kW);
    }
    EGifCloseFile(gif, &err);
    GifFreeMapObject(map);
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH);
  state.counters["out_bytes"] = double(out.size());
}

void DecodeOurs(benchmark::State& state, const Frame* f) {
  for (auto _ : state) {
    qm::cGIF gif;
    if (!gif.LoadFromStream(f->file) || gif.FramesCount() != 1) state.SkipWithError("load failed");
    benchmark::DoNotOptimize(gif.FrameDIBXOR(1)->lpBits());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH);
}

struct MemoryIn {
  const std::vector<uint8_t>* data;
  size_t pos;
};

int ReadFromVector(GifFileType* gif, GifByteType* out, int n) {
  auto* in = static_cast<MemoryIn*>(gif->UserData);
  const size_t take = std::min(size_t(n), in->data->size() - in->pos);
  std::memcpy(out, in->data->data() + in->pos, take);
  in->pos += take;
  return int(take);
}

void DecodeGiflib(benchmark::State& state, const Frame* f) {
  for (auto _ : state) {
    MemoryIn in{&f->file, 0};
    int err = 0;
    GifFileType* gif = DGifOpen(&in, ReadFromVector, &err);
    if (!gif || DGifSlurp(gif) != GIF_OK) state.SkipWithError("giflib failed");
    if (gif) {
      benchmark::DoNotOptimize(gif->SavedImages);
      DGifCloseFile(gif, &err);
    }
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH);
}

// Console output plus a closing table of ours / giflib throughput.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name != "median") continue;
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.run_name.function_name].push_back(it->second.value);
    }
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\n%-16s %12s %12s %8s\n", "pair", "ours MB/s", "giflib MB/s", "ratio");
    for (const char* op : {"Encode", "Decode"}) {
      for (const Frame& f : Frames()) {
        const double ours = Median(std::string(op) + "/ours/" + f.name);
        const double ref = Median(std::string(op) + "/giflib/" + f.name);
        if (ours <= 0 || ref <= 0) continue;
        std::printf("%-16s %12.1f %12.1f %8.2f\n", (std::string(op) + " " + f.name).c_str(),
                    ours / 1e6, ref / 1e6, ours / ref);
      }
    }
  }

 private:
  double Median(const std::string& name) {
    auto it = rates_.find(name);
    if (it == rates_.end() || it->second.empty()) return 0;
    std::vector<double> v = it->second;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
  }
  std::map<std::string, std::vector<double>> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Frame& f : Frames()) {
    benchmark::RegisterBenchmark(("Encode/ours/" + f.name).c_str(), EncodeOurs, &f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Encode/giflib/" + f.name).c_str(), EncodeGiflib, &f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Decode/ours/" + f.name).c_str(), DecodeOurs, &f)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark(("Decode/giflib/" + f.name).c_str(), DecodeGiflib, &f)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
