#include "tests/unit/BridgeTest.h"

#include "common/AICommonUtf8.h"

std::string BridgeTest::Cp1250(const std::string& utf8) { return Utf8ToAnsi(utf8); }
