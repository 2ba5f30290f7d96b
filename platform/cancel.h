// The process-wide cancel request: what the window's Cancel button and close, and the command
// line's signal handlers, set to stop the conversion they started. A conversion sees it through
// its host (Host::CancelRequested in platform/host.h, whose default is this request), looks
// between frames, lets its stages unwind, says "Cancelled." and clears the request when it ends.
// Background conversions have hosts with requests of their own, untouched by this one.
//
// All three calls are lock-free and async-signal-safe, and may be made from any thread. A request
// made while no conversion runs stops the next one before it changes anything.
#pragma once

namespace qm {

void RequestCancel() noexcept;
bool CancelRequested() noexcept;
void ResetCancel() noexcept;

}  // namespace qm
