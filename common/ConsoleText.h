#pragma once
// Text for a person: the screen of a start by hand and the report of -install.
// A console gets it as wide text, so every letter and every path shows whatever
// the console's code page is; a pipe or a file gets the UTF-8 as it is.

#include <string>

#include "platform/Platform.h"

void ShowToUser(OsHandle handle, const std::string& text);
