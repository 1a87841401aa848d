#include "platform/Platform.h"

namespace {
Platform* g_platform = nullptr;
}

Platform& Os() { return *g_platform; }

void SetPlatform(Platform* platform) { g_platform = platform; }
