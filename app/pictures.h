// The window's pictures: button images and the window icon are drawn by code at start-up, so the
// program ships no image files of its own. Optional cursor files next to the program are read
// here too.
#pragma once

#include <QCursor>
#include <QIcon>
#include <QString>
#include <optional>

namespace qm::app {

enum class Arrow { Up, Down };

// A filled arrow for the Move Up / Move Down buttons.
QIcon ArrowIcon(Arrow direction);
// The window icon: a strip of film frames.
QIcon AppIcon();

// The hot spot stored in a Windows cursor (.cur) file, read with every length checked; nullopt
// when the bytes are not a cursor file.
std::optional<QPoint> CursorHotSpot(const QByteArray& file);

// A cursor made from a .cur or .ico file; nullopt when the file is missing or unreadable.
std::optional<QCursor> LoadCursorFile(const QString& path);

}  // namespace qm::app
