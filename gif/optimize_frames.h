// Frame differencing: rewrites an animation so each frame after the first stores only the
// rectangle that changed since the frame before as a viewer displays it, losslessly.
//
// The comparison is of displayed colours: every frame is composited (position, transparency,
// disposal 0 to 3, its own local or the global table) onto the logical screen, so frames whose
// tables differ compare by colour, not by index. Inside a changed rectangle the unchanged pixels
// become a transparent index: the highest index of the frame's table that no changed pixel uses;
// when every index is taken the frame is only cropped. A frame that changes nothing becomes one
// transparent pixel, keeping its delay. Every frame followed by a difference frame gets disposal
// 1 (do not dispose) unless it already had 0 or 1; the last frame keeps its disposal, which only
// counts when the animation starts over on frame 1.
//
// Threads: the comparisons run on worker threads that only read the animation; the host and its
// cancel request are consulted on the calling thread, which must not touch the animation
// meanwhile.
#pragma once

#include "gif/cGIF.h"
#include "platform/host.h"

namespace qm {

// True when the frames were rewritten, or when there is nothing to rewrite (fewer than two
// frames). False, leaving the animation exactly as it was, when some frame could not be saved
// anyway (no table, not 8 bits per pixel, an index past its table, a disposal above 3, no logical
// screen), when the host's cancel request is found between frames, or when a change cannot be
// drawn over the frame before: a shown pixel becoming empty screen, or a colour the frame's own
// table lacks. `host` is yielded to once per frame.
bool OptimizeFrames(cGIF& gif, Host& host = CurrentHost());

}  // namespace qm
