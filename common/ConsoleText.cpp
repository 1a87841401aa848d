#include "common/ConsoleText.h"

#include "common/Encodings.h"

void ShowToUser(OsHandle handle, const std::string& text) {
  if (Os().IsConsole(handle)) {
    Os().WriteConsole(handle, Utf8ToWide(text));
    return;
  }
  std::uint32_t written = 0;
  Os().WriteFile(handle, text.data(), static_cast<std::uint32_t>(text.size()), written);
}
