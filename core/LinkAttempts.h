#pragma once
// When the bridge asks for a link, and what each kind of attempt does with its
// outcome. One attempt runs at a time; the loop's waiting lines follow it.

#include <string>

enum class AttemptKind {
  StartUp,      // for the client's first message, in the background; a refusal is not kept
  Idle,         // while the client is silent; a refusal stops these
  ForRequests,  // for lines that wait for a link; they are answered with its outcome
  Reconnect     // after the link was lost; the requests it lost are repeated
};

// Starts an attempt of this kind unless one runs.
void StartLinkAttempt(AttemptKind kind);
bool LinkAttemptRunning();
// Drops the link; false when it was already gone (or a newer one stands).
bool DropLink(std::uint32_t generation);
