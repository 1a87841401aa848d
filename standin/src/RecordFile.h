#pragma once
// The record, also as a file of JSON lines that outlives the process: what
// arrived, how each request was answered, and every token issued. A harness
// that ends the stand-in (or loses it) still reads everything up to the end.

#include <string>

bool OpenRecordFile(const std::string& path, std::string& error);

// One line; call with the state lock held, so that lines keep their order.
// Does nothing without a record file.
void AppendRecordLine(const std::string& json);
