// The window's remembered choices: the per-user QSettings store of organisation and application
// "Marrowby", group "Quillomat". Form1 keeps FPS (the frame-rate field) and Text1 (the output
// folder) there; OutputOptionsBox keeps one key per output option. Each writer syncs at once, so
// a crash loses nothing already chosen.
//
// Threads: the user-interface thread (QSettings objects are not shared).
#pragma once

#include <QSettings>
#include <memory>

namespace qm::app {

// The store, opened in the "Quillomat" group; the caller owns it.
std::unique_ptr<QSettings> OpenSettings();

}  // namespace qm::app
