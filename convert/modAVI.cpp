#include "convert/modAVI.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <future>
#include <memory>

#include "convert/cDIBAVI.h"
#include "convert/temp_space.h"
#include "imaging/cDIB.h"
#include "imaging/resample.h"
#include "platform/avi.h"
#include "platform/error.h"
#include "platform/fs.h"
#include "platform/host.h"
#include "platform/picture_io.h"

namespace qm {

namespace {

// Frames up to 2048 x 2048 get three pictures decoded ahead (at most 48 MB more), up to
// 4096 x 4096 two (at most 128 MB), larger ones one.
constexpr int64_t kThreeAheadPixels = int64_t(2048) * 2048;
constexpr int64_t kTwoAheadPixels = int64_t(4096) * 4096;

void Tell(Host& host, const std::string& text, MsgIcon icon) {
  host.MessageBox(text, MsgButtons::Ok, icon, kAppTitle);
}

// Releases the video handles and the temporary bitmap on every way out, including a picture
// that raises while loading, so the file is always finished and no temp.bmp stays behind.
struct WriterHandles {
  std::unique_ptr<avi::AviFile> file;
  avi::AviStream* stream = nullptr;
  std::string bmp_path;

  int Release() {
    if (stream) avi::AVIStreamRelease(stream);
    int result = avi::kAviOk;
    if (file) result = avi::AVIFileRelease(file);
    DeleteFileQuiet(bmp_path);
    return result;
  }
  ~WriterHandles() { Release(); }
};

// The picture at `path` as the first picture's size: unchanged when it already has that size,
// otherwise scaled to fit inside it with its aspect ratio kept, centred on black.
std::shared_ptr<Picture> FitPicture(std::shared_ptr<Picture> picture, int32_t width,
                                    int32_t height) {
  const gdi::DibSection& bitmap = *picture->bitmap;
  if (bitmap.width() == width && bitmap.height() == height) return picture;
  if (bitmap.bpp() != 32) {
    // Other depths are made 32-bit first, as the frames are.
    cDIB source;
    if (!source.CreateFromStdPicture(picture.get(), true)) Raise(kErrInvalidPicture);
    picture = source.Image();
    if (!picture) Raise(kErrInvalidPicture);
  }
  // Stretched straight from the picture's pixels into a cleared frame.
  const gdi::DibSection& source = *picture->bitmap;
  const FitRect r = FitInBox({source.width(), source.height()}, width, height, true);
  auto frame = gdi::DibSection::Create(gdi::TopDown32Header(width, height));
  if (!frame) Raise(7, "Out of memory");
  auto source_dc = gdi::CreateCompatibleDC();
  auto frame_dc = gdi::CreateCompatibleDC();
  gdi::DibSection* old_source = source_dc->Select(picture->bitmap.get());
  gdi::DibSection* old_frame = frame_dc->Select(frame.get());
  frame_dc->SetStretchMode(gdi::kColorOnColor);
  gdi::StretchBlt(frame_dc.get(), r.x, r.y, r.width, r.height, source_dc.get(), 0, 0,
                  source.width(), source.height(), gdi::kSrcCopy);
  frame_dc->Select(old_frame);
  source_dc->Select(old_source);
  auto fitted = std::make_shared<Picture>();
  fitted->bitmap = std::move(frame);
  return fitted;
}

std::shared_ptr<Picture> ResampledTo(std::shared_ptr<Picture> picture, PictureSize size) {
  const gdi::DibSection& bitmap = *picture->bitmap;
  if (bitmap.width() == size.width && bitmap.height() == size.height) return picture;
  auto resampled = Resample(bitmap, size.width, size.height);
  if (!resampled) Raise(7, "Out of memory");
  picture->bitmap = std::move(resampled);
  return picture;
}

// The first picture under a size limit: decoded as small as the format allows and resampled to
// exactly its fitted size, which becomes the frame size.
std::shared_ptr<Picture> LoadWithinLimit(const std::string& path, int32_t max_width,
                                         int32_t max_height) {
  PictureSize fitted;
  auto picture = LoadPictureReduced(path, [&](PictureSize upright) {
    fitted = FitWithin(upright, max_width, max_height);
    return fitted;
  });
  return ResampledTo(std::move(picture), fitted);
}

// A picture under a size limit as a frame of width x height: one that fits the limit at the
// frame size on its own (such as one of the first picture's size) fills the frame, as a picture
// of the first one's size stays unchanged without a limit; any other is fitted into the frame as
// FitPicture fits, centred on black. Either is decoded reduced and resampled.
std::shared_ptr<Picture> LoadIntoFrame(const std::string& path, int32_t width, int32_t height,
                                       int32_t max_width, int32_t max_height) {
  FitRect place;
  auto picture = LoadPictureReduced(path, [&](PictureSize upright) {
    if (FitWithin(upright, max_width, max_height) == PictureSize{width, height})
      place = {0, 0, width, height};
    else
      place = FitInBox(upright, width, height, true);
    return PictureSize{place.width, place.height};
  });
  picture = ResampledTo(std::move(picture), {place.width, place.height});
  if (place == FitRect{0, 0, width, height}) return picture;
  const gdi::BitmapInfoHeader header = gdi::TopDown32Header(width, height);
  auto frame = gdi::DibSection::Create(header);
  if (!frame) Raise(7, "Out of memory");
  const gdi::DibSection& fitted = *picture->bitmap;
  const int32_t x0 = std::max(place.x, 0), y0 = std::max(place.y, 0);
  const int32_t copy_w = std::min(fitted.width(), width - x0);
  const int32_t copy_h = std::min(fitted.height(), height - y0);
  for (int32_t y = 0; y < copy_h; ++y) {
    std::memcpy(frame->row(y0 + y) + size_t(x0) * 4, fitted.row(y), size_t(copy_w) * 4);
  }
  picture->bitmap = std::move(frame);
  return picture;
}

}  // namespace

void WriteAVI(const std::string& avi_path, int16_t fps, const std::vector<std::string>& files,
              const std::string& temp_folder, int32_t max_width, int32_t max_height, Host& host) {
  WriterHandles h;
  h.bmp_path = JoinPath(temp_folder, "temp.bmp");
  int last = avi::kAviOk;
  bool stop = files.empty();
  bool first_unreadable = false;
  cDIBAVI dib;
  int32_t width = 0, height = 0;
  const int count = int(std::min<size_t>(files.size(), 0x7FFFFFFF));
  const bool limited = max_width > 0 || max_height > 0;
  std::shared_ptr<Picture> first;

  if (!stop) {
    last = avi::AVIFileOpen(h.file, avi_path, avi::kOfCreate | avi::kOfWrite);
    stop = last != avi::kAviOk;
  }
  if (!stop) {
    first = limited ? LoadWithinLimit(files.front(), max_width, max_height)
                    : LoadPicture(files.front());
    SavePictureAsBmp(*first, h.bmp_path);
    if (!dib.CreateFromFile(h.bmp_path, host)) {
      Tell(host, "Could not load first bitmap file in list!", MsgIcon::Exclamation);
      stop = true;
      first_unreadable = true;
    } else {
      width = dib.Width();
      height = std::abs(dib.Height());
    }
    // Without a limit the loop decodes the first picture again; its pixels need not wait for it.
    if (!limited) first.reset();
  }
  // One uncompressed stream whose format is the first picture's.
  if (!stop) {
    avi::AviStreamInfo info;
    info.type = avi::StringToFourCC("vids");
    info.handler = 0;
    info.scale = 1;
    info.rate = uint32_t(std::clamp<int32_t>(std::atoi(std::to_string(fps).c_str()), 1, 30));
    info.length = uint32_t(count);  // lets a video past one RIFF segment be laid out up front
    info.suggested_buffer_size = uint32_t(dib.SizeImage());
    info.frame = {0, 0, width, height};
    last = avi::AVIFileCreateStream(*h.file, h.stream, info);
    stop = last != avi::kAviOk;
  }
  if (!stop) {
    last = avi::AVIStreamSetFormat(*h.stream, 0, dib.BitmapInfo());
    stop = last != avi::kAviOk;
  }
  // A full disk part way would leave a cut video, so the whole of it must fit before it starts.
  if (!stop) {
    const uint64_t needed = avi::AVIFileBytesFor(dib.BitmapInfo(), uint64_t(count));
    if (auto shortage = TempSpaceShortage(temp_folder, uint64_t(count), needed)) {
      h.Release();
      DeleteFileQuiet(avi_path);
      Tell(host, *shortage, MsgIcon::Exclamation);
      return;
    }
  }
  if (!stop) {
    host.SetProgressStage("Reading pictures");
    host.SetProgressMax(count);
    host.SetProgressValue(0);
    // Picture i + 1 is decoded on a worker thread while picture i is written. Loading touches
    // nothing shared but the decoder list, which is complete before any conversion starts. A
    // load that fails raises here, when its picture's turn comes, as loading in place would.
    // Under a size limit the worker also does the resampling and centring, and the first
    // picture, already made at its size, is not decoded again.
    auto load = [&](int i) {
      const std::string& path = files[size_t(i - 1)];
      if (!limited)
        return std::async(std::launch::async | std::launch::deferred, LoadPicture, path);
      if (i == 1)
        return std::async(std::launch::deferred, [picture = std::move(first)] { return picture; });
      return std::async(std::launch::async | std::launch::deferred, LoadIntoFrame, path, width,
                        height, max_width, max_height);
    };
    // Under a size limit decoding and resampling are most of the time, so several pictures are
    // made at once where they fit in memory easily (a third keeps both cores busy while the
    // writer waits for the slower of two); at full size the writing thread is the slower side
    // and a second decoder only competes with it.
    const int64_t frame_pixels = int64_t(width) * height;
    const int ahead = !limited                            ? 1
                      : frame_pixels <= kThreeAheadPixels ? 3
                      : frame_pixels <= kTwoAheadPixels   ? 2
                                                          : 1;
    std::deque<std::future<std::shared_ptr<Picture>>> next;
    int queued = 0;
    auto fill = [&] {
      while (queued < count && int(next.size()) < ahead) next.push_back(load(++queued));
    };
    fill();
    for (int i = 1; i <= count; ++i) {
      host.Yield();
      if (host.CancelRequested()) break;
      std::shared_ptr<Picture> picture = next.front().get();
      next.pop_front();
      fill();
      if (!limited) picture = FitPicture(std::move(picture), width, height);
      SavePictureAsBmp(*picture, h.bmp_path);
      // A bitmap that cannot be read back would leave the previous picture's pixels in the
      // object; writing those again would be a wrong frame, so the video ends here instead.
      if (!dib.CreateFromFile(h.bmp_path, host)) {
        last = avi::kAviErrFileRead;
        break;
      }
      last = avi::AVIStreamWrite(*h.stream, i - 1, 1, dib.Bits(), avi::kAviIfKeyFrame);
      if (last != avi::kAviOk) break;
      DeleteFileQuiet(h.bmp_path);
      host.SetProgressValue(i);
    }
  }
  const int finish = h.Release();
  if (last == avi::kAviOk && !first_unreadable) last = finish;
  if (last != avi::kAviOk) Tell(host, "There was an error writing the file.", MsgIcon::Information);
}

}  // namespace qm
