#pragma once
// Limits of the server process.

// Raises the soft limit of open files to the hard one, so that many sessions fit; returns the
// limit now in force (0 when it cannot be read).
unsigned long RaiseOpenFileLimit();
