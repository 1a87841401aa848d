#pragma once
// Relaying one line to the CRM application while linked, and deciding what to do
// when that fails: repeat once when it cannot have arrived, never when it may have.

#include "core/RequestPass.h"

void ForwardRequest(const TRequestPass& pass);
