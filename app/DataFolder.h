#pragma once
// Where the tester keeps its files (the vendor list MAC.CSV): the working directory, when the
// user chose it. A program started from the desktop's launcher gets the home folder or the
// root folder, or a folder it cannot write; it then keeps them in the user's data folder.
#include <string>

// Whether the working directory is the user's choice: writable, and neither the home folder
// nor the root folder. Both paths canonical.
bool WorkingFolderSuits(const std::string& workingDir, const std::string& homeDir, bool writable);

// Stays in the working directory when it suits; else makes "nat-sip-alg-tester" in the user's
// data folder ($XDG_DATA_HOME, ~/.local/share) and moves there. Returns the folder in use (the
// working directory when the data folder cannot be made).
std::string EnterDataFolder();
