#pragma once
// The stand-in's command line. Texts stay in the ANSI code page, as Windows
// hands them over.

#include <string>

struct TStandInOptions {
  int Port = 0;         // -port N, 0 = any free port
  int ControlPort = 0;  // -control N, 0 = any free port
  std::string Token;    // -token T, empty = generate
  std::string Caption = "Orvin CRM";
  std::string ClassName = "TMain";
  std::string Key;            // -key K
  bool KeyGiven = false;
  bool NoKeyLine = false;     // -no-key-line
  std::string Status;         // -status S
  bool StatusGiven = false;
  std::string Message;        // -message M
  std::string Handshake;      // -handshake now|delay|second|never|consent, empty = default
  int DelayMs = -1;           // -delay N
  bool EmptyAnswer = false;   // -empty-answer
  bool TestTools = false;     // -test-tools
  bool EndpointOff = false;   // -endpoint-off
  std::string RecordFile;     // -record-file PATH
};

// False with a message for an unknown option or a missing or bad value.
bool ParseOptions(int argc, char** argv, TStandInOptions& options, std::string& error);

extern const char* const kUsageText;
