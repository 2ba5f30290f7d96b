#include "convert/output_file.h"

#include <cerrno>

#include "platform/error.h"

namespace qm {

std::string OutputGifFile::FailureText() const {
  std::string text = "Unexpected error saving GIF file.";
  const int error = file_.error();
  if (error == 0) return text;
  // The user's words where the system's are unclear.
  std::string why = SystemErrorText(error);
  if (error == ENOENT || error == ENOTDIR) why = "the folder does not exist";
  if (error == ENOSPC || error == EDQUOT) why = "the disk is full";
  return text + "\r\n" + path_ + ": " + why;
}

}  // namespace qm
