// Octree colour quantisation for cPal8bpp::CreateOptimal.
//
// The tree is a flat table of nodes addressed by number (1 = root, 0 = none) with its own free
// list, so collapsing and re-growing branches never allocates per node. Each inner level keeps a
// "reducible" list of its nodes, most recently listed first; a collapse always takes the head of
// the deepest non-empty list, whose children are then necessarily all leaves.
#include <cmath>

#include "imaging/cPal8bpp.h"
#include "platform/error.h"
#include "platform/numbers.h"

namespace qm {

namespace {

constexpr int32_t kInitialNodes = 50;
constexpr int kMaxDepth = 8;

// Halves a channel range at its midpoint (rounded half to even, as a byte) and says which half
// the weighted value falls in; values equal to the midpoint go to the lower half.
inline int Split(float weighted, uint8_t& lo, uint8_t& hi) {
  const double mid = RoundHalfEven(lo / 2.0 + hi / 2.0);
  if (static_cast<double>(weighted) > mid) {
    lo = static_cast<uint8_t>(mid);
    return 1;
  }
  hi = static_cast<uint8_t>(mid);
  return 0;
}

}  // namespace

void cPal8bpp::CreateOptimal(const cDIB& oDIB32, int32_t nColors, int32_t nLevels, float RWeight,
                             float GWeight, float BWeight) {
  if (oDIB32.BPP() != 32) return;
  // Checked before anything changes, so a bad request cannot leave a half-written palette.
  if (nLevels < 1 || nLevels > kMaxDepth || nColors > kTableEntries) Raise(kErrSubscript);

  m_RWeight = RWeight;
  m_GWeight = GWeight;
  m_BWeight = BWeight;
  m_Nodes.assign(kInitialNodes + 1, OctreeNode{});
  m_Reducible.fill(0);
  m_MaxLevel = static_cast<uint8_t>(nLevels);
  m_NodeCount = 1;
  m_FreeNode = 0;
  m_LeafCount = 0;

  PixelView view;
  MapDIBPixels(view, oDIB32);
  for (int32_t y = 0; y < view.rows(); ++y) {
    for (const Pixel32& p : view.row(y)) {
      AddColor(p.red, p.green, p.blue);
      while (m_LeafCount > nColors) {
        if (!ReduceTree()) break;
      }
    }
  }
  view.Detach();

  Initialize(0);
  int k = 0;
  for (size_t i = 1; i < m_Nodes.size(); ++i) {
    const OctreeNode& n = m_Nodes[i];
    if (!n.IsLeaf) continue;
    if (k >= kTableEntries) Raise(kErrSubscript);
    const double count = n.PixelCount;
    SetEntry(k, CByte(n.SumRed / count), CByte(n.SumGreen / count), CByte(n.SumBlue / count));
    ++k;
  }
  m_Entries = static_cast<int16_t>(k);
  BuildLogicalPalette();
}

void cPal8bpp::AddColor(uint8_t R, uint8_t G, uint8_t B) {
  const float wR = static_cast<float>(R) * m_RWeight;
  const float wG = static_cast<float>(G) * m_GWeight;
  const float wB = static_cast<float>(B) * m_BWeight;
  uint8_t minR = 0, maxR = 255, minG = 0, maxG = 255, minB = 0, maxB = 255;
  int32_t node = 1;
  for (int level = 1;; ++level) {
    const int c = Split(wR, minR, maxR) + 2 * Split(wG, minG, maxG) + 4 * Split(wB, minB, maxB);
    if (m_Nodes[node].Child[c] == 0) {
      const int32_t made = NewNode();  // may grow the table: no node references held across it
      OctreeNode& parent = m_Nodes[node];
      parent.Child[c] = made;
      parent.PixelCount += 1;
      OctreeNode& fresh = m_Nodes[made];
      fresh.NextNode = 0;
      fresh.IsLeaf = (level == m_MaxLevel);
      fresh.PixelCount = 0;
      fresh.SumRed = fresh.SumGreen = fresh.SumBlue = 0;
    }
    const int32_t n = m_Nodes[node].Child[c];
    OctreeNode& child = m_Nodes[n];
    if (child.IsLeaf) {
      if (child.PixelCount == 0) ++m_LeafCount;
      child.PixelCount += 1;
      child.SumRed += R;
      child.SumGreen += G;
      child.SumBlue += B;
      return;
    }
    if (!child.InList) {
      if (level > kMaxDepth) Raise(kErrSubscript);
      child.NextNode = m_Reducible[level - 1];
      m_Reducible[level - 1] = n;
      child.InList = true;
    }
    node = n;
  }
}

bool cPal8bpp::ReduceTree() {
  int level = m_MaxLevel;
  while (level >= 1 && m_Reducible[level - 1] == 0) --level;
  if (level < 1) return false;

  const int32_t p = m_Reducible[level - 1];
  m_Reducible[level - 1] = m_Nodes[p].NextNode;
  int64_t r = 0, g = 0, b = 0;
  int32_t count = 0;
  for (int c = 0; c < 8; ++c) {
    const int32_t child = m_Nodes[p].Child[c];
    if (child == 0) continue;
    const OctreeNode& leaf = m_Nodes[child];
    r += leaf.SumRed;
    g += leaf.SumGreen;
    b += leaf.SumBlue;
    count += leaf.PixelCount;
    FreeNode(child);
    --m_LeafCount;
    m_Nodes[p].Child[c] = 0;
  }
  ++m_LeafCount;
  OctreeNode& leaf = m_Nodes[p];
  leaf.PixelCount = count;
  leaf.SumRed = r;
  leaf.SumGreen = g;
  leaf.SumBlue = b;
  leaf.IsLeaf = true;
  return true;
}

int32_t cPal8bpp::NewNode() {
  ++m_NodeCount;
  if (m_FreeNode == 0) {
    const int32_t n = m_NodeCount;
    const int32_t last = static_cast<int32_t>(m_Nodes.size()) - 1;
    if (n > last) m_Nodes.resize(static_cast<size_t>(CLng(m_NodeCount * 1.1)) + 1);
    return n;
  }
  const int32_t n = m_FreeNode;
  m_FreeNode = m_Nodes[n].NextNode;
  m_Nodes[n].Child.fill(0);
  return n;
}

void cPal8bpp::FreeNode(int32_t n) {
  OctreeNode& node = m_Nodes[n];
  node.NextNode = m_FreeNode;
  m_FreeNode = n;
  node.IsLeaf = false;
  node.InList = false;
  --m_NodeCount;
}

}  // namespace qm
