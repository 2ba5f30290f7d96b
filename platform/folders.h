// Folder helpers shared by the window and the command line: choosing a folder, collecting a
// folder tree and listing the files of one folder that match a wildcard pattern.
//
// Paths are joined with "/" and never get a doubled "/"; the root "/" stays "/". Every listing
// comes back in natural order (case-insensitive, runs of digits compared by value, so "frame2"
// sorts before "frame10"), because the file system hands names over in no useful order and the
// order of the names becomes the order of the frames.
//
// None of these helpers throws for a folder that cannot be read: such a folder yields no names
// and, during a tree walk, is simply not entered.
#pragma once

#include <string>
#include <vector>

namespace qm {

// Shows the folder dialog of the current host with `prompt`. Returns the chosen folder without a
// trailing "/" ("/" for the root), or "" when the user cancelled.
std::string BrowseForFolder(const std::string& prompt);

// Extends `folders` (each path ending with "/") with every subfolder beneath them, breadth-first:
// the given paths, then all their direct subfolders grouped by parent, then the next level, and so
// on. Each added path ends with "/". Folders whose name starts with "." (hidden) are neither listed
// nor entered; a folder reached a second time (through a symbolic link) is not entered again.
// Folders that cannot be listed are skipped. Yields through the current host for every folder and
// every entry looked at. `recurse` false adds only the direct subfolders.
void AddSubFolders(std::vector<std::string>& folders, bool recurse = true);

// The names (no folder part) of the files in `folder` (with or without a trailing "/") that match
// `pattern`, hidden files included, folders excluded, in natural order. Empty when nothing
// matches or the folder cannot be listed.
std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern);

// Wildcard match of a whole name: "*" matches any run of characters, "?" exactly one, letters
// match without regard to case. "*.*" matches every name, with or without a dot.
bool WildcardMatch(const std::string& pattern, const std::string& name);

// Natural ordering: case-insensitive, digit runs compared by numeric value; ties broken by the
// plain byte order so that the order is total.
bool NaturalLess(const std::string& a, const std::string& b);

// The full paths of every file matching `pattern` in `root` and in all its visible subfolders,
// grouped by folder in breadth-first order; names starting with "~" or "." (hidden) are skipped.
// This is what "Add All", a dropped folder and the command line's folder arguments add to the file
// list.
std::vector<std::string> FilesInFolderTree(const std::string& root, const std::string& pattern);

}  // namespace qm
