#include "tests/convert/convert_support.h"

#include <sys/wait.h>
#include <turbojpeg.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "convert/gif_picture.h"

namespace qm::testing {

namespace fs = std::filesystem;

// The test program registers the GIF picture decoder when it starts, as the programs do.
const bool kGifPicturesRegistered = (RegisterGifPictureDecoder(), true);

ScratchDir::ScratchDir() {
  std::string templ = (fs::temp_directory_path() / "qmtest-XXXXXX").string();
  std::vector<char> buf(templ.begin(), templ.end());
  buf.push_back('\0');
  if (::mkdtemp(buf.data())) path_ = buf.data();
}

ScratchDir::~ScratchDir() {
  std::error_code ec;
  if (!path_.empty()) fs::remove_all(path_, ec);
}

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<std::string> FolderEntries(const std::string& folder) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(folder, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

bool ToolAvailable(const std::string& name) {
  return RunCommand("command -v " + name + " >/dev/null 2>&1") == 0;
}

int RunCommand(const std::string& command, std::string* out) {
  FILE* pipe = ::popen((command + " 2>&1").c_str(), "r");
  if (!pipe) return -1;
  std::array<char, 4096> buf;
  std::string text;
  size_t n;
  while ((n = std::fread(buf.data(), 1, buf.size(), pipe)) > 0) text.append(buf.data(), n);
  const int status = ::pclose(pipe);
  if (out) *out = text;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {
void Put16(std::vector<uint8_t>& v, uint32_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
void Put32(std::vector<uint8_t>& v, uint32_t x) {
  Put16(v, x & 0xFFFF);
  Put16(v, x >> 16);
}
}  // namespace

std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, int bit_count, int palette_entries,
                             int64_t image_size, uint8_t seed) {
  const uint32_t stride = ((uint32_t(width) * uint32_t(bit_count) + 31) / 32) * 4;
  const uint32_t rows = uint32_t(height < 0 ? -height : height);
  const uint32_t true_size = stride * rows;
  const uint32_t offset = 54 + uint32_t(palette_entries) * 4;
  std::vector<uint8_t> v;
  Put16(v, 0x4D42);
  Put32(v, offset + true_size);
  Put16(v, 0);
  Put16(v, 0);
  Put32(v, offset);
  Put32(v, 40);
  Put32(v, uint32_t(width));
  Put32(v, uint32_t(height));
  Put16(v, 1);
  Put16(v, uint32_t(bit_count));
  Put32(v, 0);
  Put32(v, image_size < 0 ? true_size : uint32_t(image_size));
  Put32(v, 2835);
  Put32(v, 2835);
  Put32(v, uint32_t(palette_entries));
  Put32(v, 0);
  for (int i = 0; i < palette_entries; ++i) {
    v.insert(v.end(), {uint8_t(i), uint8_t(255 - i), uint8_t(i * 7), 0});
  }
  for (uint32_t i = 0; i < true_size; ++i) v.push_back(uint8_t(i * 31 + seed));
  return v;
}

std::vector<uint8_t> MakeJpeg(int width, int height, uint8_t red, uint8_t green, uint8_t blue) {
  std::vector<uint8_t> rgb;
  for (int i = 0; i < width * height; ++i) rgb.insert(rgb.end(), {red, green, blue});
  tjhandle tj = tjInitCompress();
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> out;
  if (tj && tjCompress2(tj, rgb.data(), width, 0, height, TJPF_RGB, &jpeg, &size, TJSAMP_444, 90,
                        0) == 0) {
    out.assign(jpeg, jpeg + size);
  }
  tjFree(jpeg);
  if (tj) tjDestroy(tj);
  return out;
}

std::string CorpusPath(const std::string& relative) {
  return std::string(QUILLOMAT_CORPUS_DIR) + "/" + relative;
}

std::vector<std::string> LandscapePhotos() {
  std::vector<std::string> out;
  for (int i = 0; i < 8; ++i) {
    out.push_back(CorpusPath("photos/landscape/Landscape_" + std::to_string(i) + ".jpg"));
  }
  return out;
}

}  // namespace qm::testing
