#include "Options.h"

#include <cstdlib>
#include <cstring>

#include "State.h"

const char* const kUsageText =
    "CrmStandIn [-port N] [-control N] [-token T] [-caption C] [-class C]\n"
    "           [-key K] [-no-key-line] [-status S] [-message M] [-empty-answer]\n"
    "           [-handshake now|delay|second|never|consent] [-delay MS] [-test-tools] [-endpoint-off]\n"
    "           [-record-file PATH]\n";

namespace {

bool ReadNumber(const char* text, int& value) {
  char* end = nullptr;
  long n = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || n < 0 || n > 0x7FFFFFFF) return false;
  value = static_cast<int>(n);
  return true;
}

}  // namespace

bool ParseOptions(int argc, char** argv, TStandInOptions& o, std::string& error) {
  for (int i = 1; i < argc; ++i) {
    std::string name = argv[i];
    const char* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    auto needValue = [&]() {
      if (value == nullptr) {
        error = "option " + name + " needs a value";
        return false;
      }
      ++i;
      return true;
    };
    auto needNumber = [&](int& target) {
      if (!needValue()) return false;
      if (!ReadNumber(value, target)) {
        error = "option " + name + " needs a number, got '" + value + "'";
        return false;
      }
      return true;
    };
    if (name == "-port") {
      if (!needNumber(o.Port)) return false;
    } else if (name == "-control") {
      if (!needNumber(o.ControlPort)) return false;
    } else if (name == "-delay") {
      if (!needNumber(o.DelayMs)) return false;
    } else if (name == "-token") {
      if (!needValue()) return false;
      o.Token = value;
    } else if (name == "-record-file") {
      if (!needValue()) return false;
      o.RecordFile = value;
    } else if (name == "-caption") {
      if (!needValue()) return false;
      o.Caption = value;
    } else if (name == "-class") {
      if (!needValue()) return false;
      o.ClassName = value;
    } else if (name == "-key") {
      if (!needValue()) return false;
      o.Key = value;
      o.KeyGiven = true;
    } else if (name == "-status") {
      if (!needValue()) return false;
      o.Status = value;
      o.StatusGiven = true;
    } else if (name == "-message") {
      if (!needValue()) return false;
      o.Message = value;
    } else if (name == "-handshake") {
      if (!needValue()) return false;
      o.Handshake = value;
      HandshakeMode mode;
      if (!HandshakeModeFromName(o.Handshake, mode)) {
        error = "unknown handshake mode '" + o.Handshake + "'";
        return false;
      }
    } else if (name == "-no-key-line") {
      o.NoKeyLine = true;
    } else if (name == "-empty-answer") {
      o.EmptyAnswer = true;
    } else if (name == "-test-tools") {
      o.TestTools = true;
    } else if (name == "-endpoint-off") {
      o.EndpointOff = true;
    } else {
      error = "unknown option '" + name + "'";
      return false;
    }
  }
  return true;
}
