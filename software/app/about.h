#pragma once

// --help and --version: answered from a plain application object, so they work without a display.

// Whether the command line is well formed and asks for help or the version; looked at before the
// application object exists.
bool help_or_version_requested();
// Prints the help or the version to standard output; returns the exit code (0). Needs the application
// object, whose program name the texts use.
int print_help_or_version();
