#pragma once
// A program opened straight from a zip archive runs from a folder that the
// archiver made in the user's temporary folder and removes later: a client
// entry naming it would stop working.

#include <string>

// The exe lies in such a folder: Explorer's Temp<n>_<archive name>, 7-Zip's 7zO…,
// WinRAR's Rar$EX… or Rar$DI…, right inside the temporary folder.
bool RunsFromInsideZip(const std::string& exePath);

// What to do instead: unpack the archive and put the exe beside Orvin CRM's program.
std::string UnpackZipFirstText();
