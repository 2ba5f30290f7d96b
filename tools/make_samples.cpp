// Renders the program's sample pictures: a short animation of a striped ball bouncing across a
// sunset sky with a spinning pinwheel, written as frame01.jpg .. frame12.jpg into the folder
// given on the command line. Purely procedural, so the output is the same on every build.
//
// Usage: make_samples OUTPUT_FOLDER
#include <turbojpeg.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

namespace {

constexpr int kWidth = 480;
constexpr int kHeight = 360;
constexpr int kFrames = 12;
constexpr int kQuality = 90;
constexpr double kPi = 3.14159265358979323846;

struct Rgb {
  double r, g, b;
};

Rgb Mix(Rgb a, Rgb b, double t) {
  return {a.r + (b.r - a.r) * t, a.g + (b.g - a.g) * t, a.b + (b.b - a.b) * t};
}

Rgb Hue(double h) {  // h in turns; a fully saturated colour
  h -= std::floor(h);
  double x = h * 6;
  int i = int(x) % 6;
  double f = x - std::floor(x);
  switch (i) {
    case 0:
      return {1, f, 0};
    case 1:
      return {1 - f, 1, 0};
    case 2:
      return {0, 1, f};
    case 3:
      return {0, 1 - f, 1};
    case 4:
      return {f, 0, 1};
    default:
      return {1, 0, 1 - f};
  }
}

// Coverage of a disc edge at signed distance d (negative inside), one pixel of soft edge.
double Coverage(double d) {
  return std::clamp(0.5 - d, 0.0, 1.0);
}

class Canvas {
 public:
  Canvas() : px_(size_t(kWidth) * kHeight) {}
  Rgb& at(int x, int y) { return px_[size_t(y) * kWidth + x]; }
  void Blend(int x, int y, Rgb c, double a) {
    if (x < 0 || y < 0 || x >= kWidth || y >= kHeight || a <= 0) return;
    Rgb& p = at(x, y);
    p = Mix(p, c, std::min(a, 1.0));
  }
  std::vector<uint8_t> Bytes() const {  // blue, green, red, 0
    std::vector<uint8_t> out(px_.size() * 4);
    for (size_t i = 0; i < px_.size(); ++i) {
      auto q = [](double v) { return uint8_t(std::lround(std::clamp(v, 0.0, 1.0) * 255)); };
      out[4 * i] = q(px_[i].b);
      out[4 * i + 1] = q(px_[i].g);
      out[4 * i + 2] = q(px_[i].r);
      out[4 * i + 3] = 0;
    }
    return out;
  }

 private:
  std::vector<Rgb> px_;
};

void DrawBackground(Canvas& c, double t) {
  const Rgb top{0.10, 0.12, 0.45}, middle{0.95, 0.45, 0.30}, horizon{1.0, 0.85, 0.40};
  const Rgb grass_near{0.10, 0.45, 0.15}, grass_far{0.35, 0.70, 0.25};
  const int ground = 280;
  for (int y = 0; y < kHeight; ++y) {
    for (int x = 0; x < kWidth; ++x) {
      Rgb p;
      if (y < ground) {
        double v = double(y) / ground;
        p = v < 0.6 ? Mix(top, middle, v / 0.6) : Mix(middle, horizon, (v - 0.6) / 0.4);
        // A slow diagonal shimmer so neighbouring frames differ everywhere, not only at the ball.
        double s = 0.04 * std::sin((x + 2 * y) * 0.03 + t * 2 * kPi);
        p = {p.r + s, p.g + s, p.b + s};
      } else {
        double v = double(y - ground) / (kHeight - ground);
        p = Mix(grass_far, grass_near, v);
        if (((x + int(v * 40)) / 24) % 2 == 0) p = {p.r * 0.9, p.g * 0.9, p.b * 0.9};
      }
      c.at(x, y) = p;
    }
  }
}

void DrawSun(Canvas& c) {
  const double cx = 390, cy = 90, r = 36;
  for (int y = int(cy - r - 2); y <= int(cy + r + 2); ++y)
    for (int x = int(cx - r - 2); x <= int(cx + r + 2); ++x)
      c.Blend(x, y, {1.0, 0.95, 0.6}, Coverage(std::hypot(x - cx, y - cy) - r));
}

void DrawPinwheel(Canvas& c, double t) {
  const double cx = 90, cy = 200, r = 46;
  for (int y = int(cy - r - 2); y <= int(cy + r + 2); ++y) {
    for (int x = int(cx - r - 2); x <= int(cx + r + 2); ++x) {
      double dx = x - cx, dy = y - cy, d = std::hypot(dx, dy);
      double angle = std::atan2(dy, dx) / (2 * kPi) + t;  // turns
      double blade = std::floor(angle * 6);
      double within = angle * 6 - std::floor(angle * 6);
      if (within > 0.7) continue;  // gaps between the blades
      c.Blend(x, y, Hue(blade / 6), Coverage(d - r) * 0.95);
    }
  }
  for (int y = int(cy) - 4; y <= int(cy) + 4; ++y)
    for (int x = int(cx) - 4; x <= int(cx) + 4; ++x)
      c.Blend(x, y, {0.2, 0.2, 0.2}, Coverage(std::hypot(x - cx, y - cy) - 4));
}

void DrawBall(Canvas& c, double t) {
  const double r = 42;
  const double cx = 120 + t * 300;
  const double bounce = std::fabs(std::sin(t * 2 * kPi));
  const double cy = 270 - r - bounce * 150;
  // Shadow on the ground, smaller when the ball is high.
  const double sw = r * (1.1 - 0.4 * bounce), sh = 8 * (1.1 - 0.4 * bounce);
  for (int y = 270; y <= 300; ++y)
    for (int x = int(cx - sw - 2); x <= int(cx + sw + 2); ++x) {
      double e = std::hypot((x - cx) / sw, (y - 286) / sh) - 1;
      c.Blend(x, y, {0, 0, 0}, Coverage(e * sh) * 0.4);
    }
  for (int y = int(cy - r - 2); y <= int(cy + r + 2); ++y) {
    for (int x = int(cx - r - 2); x <= int(cx + r + 2); ++x) {
      double dx = x - cx, dy = y - cy, d = std::hypot(dx, dy);
      double cover = Coverage(d - r);
      if (cover <= 0) continue;
      // Rolling stripes, then light from the upper left.
      double stripe = (dx * std::cos(t * 4 * kPi) + dy * std::sin(t * 4 * kPi)) / r;
      Rgb base = Hue(0.5 * stripe + t);
      double nz = std::sqrt(std::max(0.0, 1 - (dx * dx + dy * dy) / (r * r)));
      double light = std::clamp(0.35 + 0.65 * (-0.5 * dx / r - 0.5 * dy / r + 0.7 * nz), 0.2, 1.1);
      Rgb shaded{base.r * light, base.g * light, base.b * light};
      double highlight =
          std::pow(std::max(0.0, 1 - std::hypot(dx + r * 0.35, dy + r * 0.35) / (r * 0.3)), 2);
      c.Blend(x, y, Mix(shaded, {1, 1, 1}, highlight), cover);
    }
  }
}

bool WriteJpeg(const std::vector<uint8_t>& bgrx, const std::string& path) {
  tjhandle tj = tjInitCompress();
  if (!tj) return false;
  unsigned char* jpeg = nullptr;
  unsigned long size = 0;
  int rc = tjCompress2(tj, bgrx.data(), kWidth, kWidth * 4, kHeight, TJPF_BGRX, &jpeg, &size,
                       TJSAMP_420, kQuality, TJFLAG_ACCURATEDCT);
  bool ok = rc == 0;
  if (ok) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    ok = f && std::fwrite(jpeg, 1, size, f) == size;
    if (f && std::fclose(f) != 0) ok = false;
  } else {
    std::fprintf(stderr, "make_samples: %s\n", tjGetErrorStr2(tj));
  }
  tjFree(jpeg);
  tjDestroy(tj);
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_samples OUTPUT_FOLDER\n");
    return 2;
  }
  std::error_code ec;
  std::filesystem::create_directories(argv[1], ec);
  if (ec) {
    std::fprintf(stderr, "make_samples: cannot create %s: %s\n", argv[1], ec.message().c_str());
    return 1;
  }
  for (int i = 0; i < kFrames; ++i) {
    double t = double(i) / kFrames;
    Canvas canvas;
    DrawBackground(canvas, t);
    DrawSun(canvas);
    DrawPinwheel(canvas, t);
    DrawBall(canvas, t);
    char name[32];
    std::snprintf(name, sizeof name, "frame%02d.jpg", i + 1);
    std::string path = (std::filesystem::path(argv[1]) / name).string();
    if (!WriteJpeg(canvas.Bytes(), path)) {
      std::fprintf(stderr, "make_samples: cannot write %s\n", path.c_str());
      return 1;
    }
  }
  return 0;
}
