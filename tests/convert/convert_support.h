// Shared helpers of the conversion tests: a scratch folder removed after each test, file
// helpers, a BMP builder and the paths of the public corpus.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm::testing {

// A fresh folder under the system's temp folder, removed with its contents on destruction.
class ScratchDir {
 public:
  ScratchDir();
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;
  const std::string& path() const { return path_; }
  std::string File(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

void WriteFile(const std::string& path, const std::vector<uint8_t>& bytes);
std::vector<uint8_t> ReadFile(const std::string& path);
// Names in `folder` (no "." / ".."), sorted.
std::vector<std::string> FolderEntries(const std::string& folder);
bool ToolAvailable(const std::string& name);
// Runs a shell command; returns its exit status and fills `out` with its stdout and stderr.
int RunCommand(const std::string& command, std::string* out = nullptr);

// A BMP file: file header, 40-byte information header, `palette_entries` colours, pixels.
// `image_size` < 0 writes the true size; otherwise that value goes into the header.
std::vector<uint8_t> MakeBmp(int32_t width, int32_t height, int bit_count, int palette_entries,
                             int64_t image_size = -1, uint8_t seed = 1);

// A baseline JPEG of one colour (red, green, blue), quality 90.
std::vector<uint8_t> MakeJpeg(int width, int height, uint8_t red, uint8_t green, uint8_t blue);

std::string CorpusPath(const std::string& relative);
// The eight landscape photos, in order.
std::vector<std::string> LandscapePhotos();

}  // namespace qm::testing
