// Fuzz target: arbitrary bytes through LoadPicture, the entry the conversion loads every listed
// picture with (JPEG, PNG, BMP, chosen by content). The bytes are handed over as a file, since
// that entry takes a path: an in-memory file keeps each run off the disk. A RuntimeError is the
// refusal of a damaged picture and fine; any other exception, crash or sanitizer report is a bug,
// and so is an accepted picture that is not the 32-bit top-down bitmap the header promises.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "platform/error.h"
#include "platform/gdi.h"
#include "platform/picture_io.h"

namespace {

int InputFile() {
  static const int fd = memfd_create("picture_fuzz", 0);
  if (fd < 0) std::abort();
  return fd;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const int fd = InputFile();
  if (ftruncate(fd, 0) != 0) std::abort();
  for (size_t done = 0; done < size;) {
    const ssize_t n = pwrite(fd, data + done, size - done, off_t(done));
    if (n <= 0) std::abort();
    done += size_t(n);
  }
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  try {
    const auto picture = qm::LoadPicture(path);
    const qm::gdi::DibSection* bitmap = picture ? picture->bitmap.get() : nullptr;
    if (!bitmap || bitmap->bpp() != 32 || !bitmap->top_down() || bitmap->width() <= 0 ||
        bitmap->height() <= 0 ||
        uint64_t(bitmap->width()) * uint64_t(bitmap->height()) > qm::kMaxPicturePixels)
      std::abort();
  } catch (const qm::RuntimeError&) {
  }
  return 0;
}
