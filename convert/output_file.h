// The output GIF file of a conversion: the bytes go to a file beside out.gif that takes its place
// only once it is complete (platform/replacing_file.h), and a failure is described in the words
// the user is shown.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "gif/mGIFLZWEnc.h"
#include "platform/replacing_file.h"

namespace qm {

class OutputGifFile final : public GifOutput {
 public:
  explicit OutputGifFile(const std::string& path) : path_(path), file_(path) {}

  bool ok() const { return file_.ok(); }
  void Write(const uint8_t* data, size_t n) override { file_.Write(data, n); }
  // Puts the new GIF in place of the old one; false, the old one untouched, on any failure.
  bool Commit() { return file_.Commit(); }

  // "Unexpected error saving GIF file.", with the path and the reason when the file failed.
  std::string FailureText() const;

 private:
  std::string path_;
  ReplacingFile file_;
};

}  // namespace qm
