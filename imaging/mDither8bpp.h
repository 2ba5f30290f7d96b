// mDither8bpp: reduces a 32-bit frame to an 8-bit frame of palette indices.
//
// Two switches choose the method. PaletteMode 0 maps onto the 216-colour cube of
// cPal8bpp::CreateHalftone(4); PaletteMode 1 onto an optimal palette of up to 256 colours built
// from a thumbnail (at most 50 x 50) of the first frame. DitherMode 0 takes the nearest colour,
// 1 dithers with a 4 x 4 ordered (Bayer) matrix, 2 diffuses the error Floyd-Steinberg style.
// Nearest-colour matching is table-driven: the cube through Level6 and CubeIndex, any other
// palette through the 4096-entry inverse colour map Lookup16 (4 bits per channel), which
// BuildLookup16 fills once per palette.
//
// State: the constant tables (levels, cube, Bayer matrices, diffusion shares) are built once, on
// first use or by InitDitherTables, and then only read. The switches, Lookup16, a copy of the
// current palette and the views of a running reduction belong to a Context: each caller that
// reduces frames owns one (the importer makes its own for every conversion), and contexts used
// on different threads do not interfere. The module routines without a context use
// DefaultContext(), which serves one thread at a time, as the classic single-window program did.
//
// Errors (RuntimeError): a source that is not a 32-bit bitmap raises subscript out of range (9)
// before anything changes; a destination that cannot be created raises 9 at its first row;
// palette errors (cPal8bpp) pass through.
#pragma once

#include <cstdint>
#include <memory>

#include "imaging/cDIB.h"
#include "imaging/cPal8bpp.h"

namespace qm::mDither8bpp {

// Builds Bayer16, Bayer51, CubeIndex, Level6, Level16 and the four diffusion tables, once; any
// reduction builds them itself when nobody has yet.
void InitDitherTables();

// The switches and working state of one caller's reductions.
class Context {
 public:
  Context();
  ~Context();
  Context(const Context&) = delete;
  Context& operator=(const Context&) = delete;

  // 0: cube palette, 1: optimal palette; any other value makes ReduceColors leave the palette
  // alone and write only index 0.
  void SetPaletteMode(int32_t mode) { palette_mode_ = mode; }
  // 0: nearest colour, 1: ordered dithering, 2: error diffusion.
  void SetDitherMode(int32_t mode) { dither_mode_ = mode; }
  int32_t PaletteMode() const { return palette_mode_; }
  int32_t DitherMode() const { return dither_mode_; }

  struct Work;  // Lookup16, the palette copy and the views (mDither8bpp.cpp)
  Work& work() { return *work_; }
  const Work& work() const { return *work_; }

 private:
  int32_t palette_mode_ = 0;
  int32_t dither_mode_ = 0;
  std::unique_ptr<Work> work_;
};

// The context of the routines below that name none.
Context& DefaultContext();

// The default context's switches.
void SetPaletteMode(int32_t mode);
void SetDitherMode(int32_t mode);
int32_t PaletteMode();
int32_t DitherMode();

// Re-creates `destination` as an 8-bit bitmap of the source's size whose colour table is the
// palette's full 256-entry table, and fills it with the source's pixels reduced to indices, as
// the context's switches say. KeepPalette false (first frame) builds the palette first; true
// reuses the palette and the context's Lookup16 as they are. The source is never modified
// (diffusion works on a copy).
void ReduceColors(Context& context, cDIB& source, cDIB& destination, cPal8bpp& palette,
                  bool KeepPalette);
void ReduceColors(cDIB& source, cDIB& destination, cPal8bpp& palette, bool KeepPalette);

// The optimal palette of a frame: an octree palette of up to 256 colours built from a thumbnail of
// at most 50 x 50 pixels with the frame's aspect ratio, then Lookup16 for it. What the first frame
// costs on top in palette mode 1.
void BuildOptimalPalette(Context& context, const cDIB& source, cPal8bpp& palette);
void BuildOptimalPalette(const cDIB& source, cPal8bpp& palette);

// Lookup16[r + 16g + 256b] = palette.ClosestIndex(17r, 17g, 17b) for r, g, b in 0..15.
void BuildLookup16(Context& context, const cPal8bpp& palette);
void BuildLookup16(const cPal8bpp& palette);

// The six reduction routines. They work on the views that ReduceColors attaches to the context
// and do nothing outside a ReduceColors call.
void ReduceHalftoneNone(Context& context);
void ReduceHalftoneOrdered(Context& context);
void ReduceHalftoneDiffuse(Context& context);
void ReduceOptimalNone(Context& context);
void ReduceOptimalOrdered(Context& context);
void ReduceOptimalDiffuse(Context& context);
void ReduceHalftoneNone();
void ReduceHalftoneOrdered();
void ReduceHalftoneDiffuse();
void ReduceOptimalNone();
void ReduceOptimalOrdered();
void ReduceOptimalDiffuse();

// Read access to the tables; an index outside a table's range raises 9.
uint8_t Level6(int32_t k);     // k in -51..280: k / 51 rounded, limited to 0..5
uint8_t Level16(int32_t k);    // k in -8..262: k / 17 rounded, limited to 0..15
uint8_t CubeIndex(int32_t i);  // i in 0..215
uint8_t Lookup16(const Context& context, int32_t i);  // i in 0..4095
uint8_t Lookup16(int32_t i);                          // the default context's
int32_t Bayer16(int32_t i);                           // i = (x mod 4) + 4 * (y mod 4)
int32_t Bayer51(int32_t i);
int32_t Diffuse1(int32_t e);  // e in -255..255: n * e / 16 rounded, n = 1, 3, 5, 7
int32_t Diffuse3(int32_t e);
int32_t Diffuse5(int32_t e);
int32_t Diffuse7(int32_t e);

}  // namespace qm::mDither8bpp
