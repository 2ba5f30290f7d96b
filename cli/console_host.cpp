#include "cli/console_host.h"

#include <cctype>
#include <cstdio>

namespace qm::cli {

namespace {
constexpr const char* kStages[] = {"reading pictures", "dithering frames", "writing GIF"};
constexpr int kBarWidth = 30;
}  // namespace

std::string ConsoleText(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r') {
      out.push_back('\n');
      if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

void ConsoleHost::SetProgressMax(int max) {
  // Each stage of a conversion starts by setting the maximum.
  ++stage_;
  max_ = max;
  value_ = 0;
  Draw();
}

void ConsoleHost::SetProgressValue(int value) {
  value_ = value;
  if (value == 0) {
    FinishProgress();
    return;
  }
  Draw();
}

void ConsoleHost::Draw() {
  if (quiet_ || !terminal_ || max_ <= 0) return;
  const int shown = value_ < 0 ? 0 : (value_ > max_ ? max_ : value_);
  const int filled = int(int64_t(shown) * kBarWidth / max_);
  std::string stage = stage_text_.empty() ? kStages[(stage_ - 1) % 3] : stage_text_;
  if (!stage.empty()) stage[0] = char(std::tolower(static_cast<unsigned char>(stage[0])));
  std::string bar(size_t(filled), '#');
  bar.append(size_t(kBarWidth - filled), '.');
  std::fprintf(stderr, "\r\033[KQuillomat: [%s] %s %d/%d", bar.c_str(), stage.c_str(), shown, max_);
  std::fflush(stderr);
  line_open_ = true;
}

void ConsoleHost::FinishProgress() {
  if (!line_open_) return;
  std::fputs("\r\033[K", stderr);
  std::fflush(stderr);
  line_open_ = false;
}

MsgAnswer ConsoleHost::MessageBox(const std::string& text, MsgButtons buttons, MsgIcon icon,
                                  const std::string& title) {
  FinishProgress();
  if (!(quiet_ && text == "Done.")) {
    const std::string body = ConsoleText(text);
    if (title == kAppTitle || title.empty()) {
      std::fprintf(stderr, "Quillomat: %s\n", body.c_str());
    } else {
      std::fprintf(stderr, "Quillomat: %s: %s\n", title.c_str(), body.c_str());
    }
  }
  if (icon != MsgIcon::None) ++problems_;
  return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
}

}  // namespace qm::cli
