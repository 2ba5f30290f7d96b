#include "platform/folders.h"

#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <memory>
#include <set>
#include <utility>

#include "platform/fs.h"
#include "platform/host.h"

namespace qm {

namespace {

struct DirCloser {
  void operator()(DIR* d) const { ::closedir(d); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

inline unsigned char Fold(unsigned char c) {
  return static_cast<unsigned char>(std::tolower(c));
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// Reads every entry name of `folder` except "." and "..". Returns false when it cannot be listed.
bool ReadNames(const std::string& folder, std::vector<std::string>* names, bool yield) {
  DirHandle dir(::opendir(folder.empty() ? "." : folder.c_str()));
  if (!dir) return false;
  while (dirent* e = ::readdir(dir.get())) {
    std::string name = e->d_name;
    if (yield) CurrentHost().Yield();
    if (name == "." || name == "..") continue;
    names->push_back(std::move(name));
  }
  return true;
}

std::string WithSlash(const std::string& folder) {
  if (folder.empty() || folder.back() == '/') return folder;
  return folder + "/";
}

bool MatchFrom(const std::string& p, size_t pi, const std::string& n, size_t ni) {
  // Iterative matcher with single-star backtracking: linear in practice, no recursion depth.
  size_t star = std::string::npos, resume = 0;
  while (ni < n.size()) {
    if (pi < p.size() && p[pi] == '*') {
      star = pi++;
      resume = ni;
    } else if (pi < p.size() && (p[pi] == '?' || Fold(static_cast<unsigned char>(p[pi])) ==
                                                     Fold(static_cast<unsigned char>(n[ni])))) {
      ++pi;
      ++ni;
    } else if (star != std::string::npos) {
      pi = star + 1;
      ni = ++resume;
    } else {
      return false;
    }
  }
  while (pi < p.size() && p[pi] == '*') ++pi;
  return pi == p.size();
}

}  // namespace

std::string BrowseForFolder(const std::string& prompt) {
  return CurrentHost().BrowseForFolder(prompt);
}

bool WildcardMatch(const std::string& pattern, const std::string& name) {
  if (MatchFrom(pattern, 0, name, 0)) return true;
  // As on the original platform, a trailing ".*" also matches names that have no dot at all.
  if (pattern.size() >= 2 && pattern.compare(pattern.size() - 2, 2, ".*") == 0 &&
      name.find('.') == std::string::npos) {
    return MatchFrom(pattern.substr(0, pattern.size() - 2), 0, name, 0);
  }
  return false;
}

bool NaturalLess(const std::string& a, const std::string& b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (IsDigit(a[i]) && IsDigit(b[j])) {
      size_t ie = i, je = j;
      while (ie < a.size() && IsDigit(a[ie])) ++ie;
      while (je < b.size() && IsDigit(b[je])) ++je;
      size_t iz = i, jz = j;
      while (iz + 1 < ie && a[iz] == '0') ++iz;
      while (jz + 1 < je && b[jz] == '0') ++jz;
      size_t la = ie - iz, lb = je - jz;
      if (la != lb) return la < lb;
      int c = a.compare(iz, la, b, jz, lb);
      if (c != 0) return c < 0;
      // Same value: fewer leading zeros first, so "7" < "07" deterministically.
      if (ie - i != je - j) return (ie - i) < (je - j);
      i = ie;
      j = je;
      continue;
    }
    unsigned char ca = Fold(static_cast<unsigned char>(a[i]));
    unsigned char cb = Fold(static_cast<unsigned char>(b[j]));
    if (ca != cb) return ca < cb;
    ++i;
    ++j;
  }
  if ((i < a.size()) != (j < b.size())) return j < b.size();
  return a < b;
}

void AddSubFolders(std::vector<std::string>& folders, bool recurse) {
  // Folders already in the list (by device and inode) are never entered again, so a symbolic
  // link back up the tree cannot make the walk endless.
  std::set<std::pair<dev_t, ino_t>> seen;
  for (const auto& f : folders) {
    struct stat st;
    if (::stat(f.empty() ? "." : f.c_str(), &st) == 0) seen.insert({st.st_dev, st.st_ino});
  }

  std::vector<std::string> level = folders;
  std::vector<std::string> found;
  while (!level.empty()) {
    std::vector<std::string> next;
    for (const auto& parent : level) {
      std::vector<std::string> names;
      CurrentHost().Yield();
      if (!ReadNames(parent, &names, true)) continue;
      std::sort(names.begin(), names.end(), NaturalLess);
      for (const auto& name : names) {
        if (name[0] == '.') continue;
        std::string path = JoinPath(WithSlash(parent), name);
        struct stat st;
        if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        if (!seen.insert({st.st_dev, st.st_ino}).second) continue;
        next.push_back(path + "/");
      }
    }
    found.insert(found.end(), next.begin(), next.end());
    if (!recurse) break;
    level = std::move(next);
  }
  for (auto& path : found) {
    CurrentHost().Yield();
    folders.push_back(std::move(path));
  }
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& pattern) {
  std::vector<std::string> names;
  std::vector<std::string> all;
  if (!ReadNames(folder, &all, false)) return names;
  const std::string base = WithSlash(folder);
  for (auto& name : all) {
    if (!WildcardMatch(pattern, name)) continue;
    // Only regular files: a folder is not a picture, and opening a pipe or device would hang
    // or misbehave later in the conversion.
    struct stat st;
    if (::stat(JoinPath(base, name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
    names.push_back(std::move(name));
  }
  std::sort(names.begin(), names.end(), NaturalLess);
  return names;
}

std::vector<std::string> FilesInFolderTree(const std::string& root, const std::string& pattern) {
  std::vector<std::string> out;
  std::vector<std::string> folders{root == "/" ? root : WithSlash(root)};
  AddSubFolders(folders, true);
  for (const auto& f : folders) {
    // The folder without its trailing "/", except for the root itself.
    std::string d = f.size() > 1 ? f.substr(0, f.size() - 1) : f;
    for (const auto& name : ListFiles(d, pattern)) {
      // "~" marks an editor's lock file, "." a hidden helper file such as "._photo.jpg" that
      // other systems leave beside pictures; either would cut the animation short.
      if (name[0] == '~' || name[0] == '.') continue;
      out.push_back(JoinPath(d, name));
    }
  }
  return out;
}

}  // namespace qm
