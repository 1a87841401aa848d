#pragma once
#include "platform/Platform.h"

// The real Windows implementation; one instance per process.
Platform& Win32Platform();
