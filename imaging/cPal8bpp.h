// cPal8bpp: a palette of up to 256 colours for 8-bit pictures.
//
// The colours live in a table of 256 four-byte entries (blue, green, red, 0), the layout of a
// bitmap colour table, so lpPalette() can be handed unchanged to cDIB::SetPalette or copied into
// a GIF colour table. Entries() says how many of them are in use; the rest keep what they hold.
// A logical palette made from the first Entries() entries answers the nearest-colour queries
// (least sum of squared channel differences, lowest index on ties).
//
// Standard palettes: grey scales, the 16 EGA colours, uniform colour cubes (halftone), a
// 256-colour web-safe palette, and an octree-quantised optimal palette for a 32-bit picture.
// Every palette-building method replaces the table and ends by rebuilding the logical palette;
// writing Entries or a channel changes only the table, so a client that edits colours calls
// BuildLogicalPalette before its next nearest-colour query.
//
// Ownership: the object owns its table and its logical palette and releases both in Destroy and
// on destruction. The span returned by lpPalette() is valid until the next Initialize, Destroy or
// palette-building call.
//
// Errors (RuntimeError):
//   - lpPalette, rgbR/G/B before any Initialize: subscript out of range (9);
//   - ClosestIndex/ClosestColor without a logical palette or with no entries in it: overflow (6),
//     the invalid index the query returns being no byte;
//   - CreateGreyScale with levels other than 0..2: division by zero (11), table initialised empty;
//   - CreateHalftone with levels other than 0..4: subscript out of range (9), table initialised
//     empty;
//   - BuildLogicalPalette / IsGreyScale with Entries outside 0..256: subscript out of range (9);
//   - CreateOptimal with nLevels outside 1..8 or nColors above 256: subscript out of range (9),
//     raised before anything changes.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "imaging/cDIB.h"
#include "platform/gdi.h"

namespace qm {

class cPal8bpp {
 public:
  static constexpr int kTableEntries = 256;
  static constexpr int kTableBytes = kTableEntries * 4;

  cPal8bpp() = default;
  ~cPal8bpp();
  cPal8bpp(const cPal8bpp&) = delete;
  cPal8bpp& operator=(const cPal8bpp&) = delete;

  // Destroy, then a new all-black table with Entries() = InitialEntries and no logical palette.
  void Initialize(int16_t InitialEntries);
  // (Re)makes the logical palette from the first Entries() entries of the table.
  void BuildLogicalPalette();
  // Entries() = 0, no table, no logical palette.
  void Destroy();

  // The colour of the entry nearest to (R, G, B).
  void ClosestColor(uint8_t R, uint8_t G, uint8_t B, uint8_t& cR, uint8_t& cG, uint8_t& cB) const;
  // The index of the entry nearest to (R, G, B).
  uint8_t ClosestIndex(uint8_t R, uint8_t G, uint8_t B) const;
  // True when Entries() > 0 and every entry in use has red = green = blue.
  bool IsGreyScale() const;

  // GreyLevels 0: black and white; 1: 16 greys (step 17); 2: 256 greys.
  void CreateGreyScale(int32_t GreyLevels);
  // The 16 standard EGA colours.
  void CreateEGA();
  // Uniform colour cube: HalftoneLevels 0..4 give 2, 3, 4, 5, 6 levels per channel (8 to 216
  // entries). Entry r + n*g + n*n*b holds level r of red, g of green, b of blue.
  void CreateHalftone(int32_t HalftoneLevels);
  // 256 entries: EGA low colours, the 6x6x6 cube without its corners, black, 31 greys, EGA high.
  void CreateWebsafe();
  // Octree quantisation of a 32-bit picture into at most nColors entries (leaf depth nLevels).
  // A source of any other depth leaves the palette exactly as it was. The weights scale the
  // channel values for the splitting decisions only; the entries are plain means of the pixels.
  void CreateOptimal(const cDIB& oDIB32, int32_t nColors, int32_t nLevels, float RWeight,
                     float GWeight, float BWeight);

  // The 1024-byte table (blue, green, red, 0 per entry).
  std::span<const uint8_t, kTableBytes> lpPalette() const;
  // The logical palette; nullptr when there is none.
  const gdi::LogicalPalette* hPal() const { return m_hPal.get(); }

  int16_t Entries() const { return m_Entries; }
  void Entries(int16_t New_Entries) { m_Entries = New_Entries; }

  uint8_t rgbR(uint8_t PalEntry) const { return Channel(PalEntry, kRed); }
  uint8_t rgbG(uint8_t PalEntry) const { return Channel(PalEntry, kGreen); }
  uint8_t rgbB(uint8_t PalEntry) const { return Channel(PalEntry, kBlue); }
  void rgbR(uint8_t PalEntry, uint8_t New_Value) { Channel(PalEntry, kRed) = New_Value; }
  void rgbG(uint8_t PalEntry, uint8_t New_Value) { Channel(PalEntry, kGreen) = New_Value; }
  void rgbB(uint8_t PalEntry, uint8_t New_Value) { Channel(PalEntry, kBlue) = New_Value; }

 private:
  // Byte offsets of the channels inside a table entry.
  static constexpr int kBlue = 0, kGreen = 1, kRed = 2;

  struct OctreeNode {
    bool IsLeaf = false;
    bool InList = false;
    // 64-bit sums: a large picture of bright pixels would overflow 32 bits.
    int64_t SumRed = 0;
    int64_t SumGreen = 0;
    int64_t SumBlue = 0;
    int32_t PixelCount = 0;
    std::array<int32_t, 8> Child{};
    int32_t NextNode = 0;
  };

  uint8_t Channel(uint8_t PalEntry, int channel) const;
  uint8_t& Channel(uint8_t PalEntry, int channel);
  void SetEntry(int index, uint8_t r, uint8_t g, uint8_t b);
  void SetLowColors(int start);
  void SetHighColors(int start);

  void AddColor(uint8_t R, uint8_t G, uint8_t B);
  bool ReduceTree();
  int32_t NewNode();
  void FreeNode(int32_t n);

  int16_t m_Entries = 0;
  std::unique_ptr<gdi::LogicalPalette> m_hPal;
  std::unique_ptr<std::array<uint8_t, kTableBytes>> m_Palette;

  // Octree state, kept from one CreateOptimal to the next. m_Nodes[0] is unused: nodes are
  // numbered from 1 and 0 means "none".
  std::vector<OctreeNode> m_Nodes;
  int32_t m_NodeCount = 0;
  uint8_t m_MaxLevel = 0;
  int32_t m_FreeNode = 0;
  int32_t m_LeafCount = 0;
  std::array<int32_t, 8> m_Reducible{};  // heads of levels 1..8 at indices 0..7
  float m_RWeight = 1.0f, m_GWeight = 1.0f, m_BWeight = 1.0f;
};

}  // namespace qm
