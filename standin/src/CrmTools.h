#pragma once
// The demo CRM behind the endpoint: a few customers and invoices in memory and
// the tools that search and extend them.

#include <string>

#include "Json.h"

// The "tools" array of tools/list for the CRM tools (JSON text).
std::string CrmToolsJson();

bool IsCrmTool(const std::string& name);

// Runs a CRM tool; gives its text result (UTF-8) and whether it is an error result.
std::string CallCrmTool(const std::string& name, const TJsonValue& arguments, bool& isError);
