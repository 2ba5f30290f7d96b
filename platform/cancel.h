// Cancelling the running conversion: one process-wide request that the conversion's stages
// (writing the intermediate video, importing it, saving the GIF) look at between frames. Whoever
// wants the run to stop - the window's Cancel button or close, a signal handler of the command
// line - calls RequestCancel and lets the stages unwind; the driver removes what the run made,
// says "Cancelled." and clears the request when the run ends.
//
// All three calls are lock-free and async-signal-safe, and may be made from any thread. A request
// made while no conversion runs stops the next one before it changes anything.
#pragma once

namespace qm {

void RequestCancel() noexcept;
bool CancelRequested() noexcept;
void ResetCancel() noexcept;

}  // namespace qm
