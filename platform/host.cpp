#include "platform/host.h"

#include "platform/cancel.h"

namespace qm {

MsgAnswer Host::MessageBox(const std::string&, MsgButtons buttons, MsgIcon, const std::string&) {
  return buttons == MsgButtons::YesNo ? MsgAnswer::No : MsgAnswer::Ok;
}

bool Host::InputBox(const std::string&, const std::string&, const std::string&, std::string*) {
  return false;
}

std::string Host::OpenFileDialog(const std::string&, const std::string&, int) {
  return {};
}

std::string Host::BrowseForFolder(const std::string&) {
  return {};
}

bool Host::CancelRequested() const {
  return qm::CancelRequested();
}
void Host::ResetCancel() {
  qm::ResetCancel();
}

namespace {
Host g_silent;
Host* g_current = nullptr;
}  // namespace

Host& CurrentHost() {
  return g_current ? *g_current : g_silent;
}
void SetCurrentHost(Host* host) {
  g_current = host;
}

ScopedHost::ScopedHost(Host* host) : previous_(g_current) {
  g_current = host;
}
ScopedHost::~ScopedHost() {
  g_current = previous_;
}

}  // namespace qm
