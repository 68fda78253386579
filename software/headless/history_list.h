#pragma once

// --history: prints this user's local history newest first, one line per record (JSON Lines with --json),
// only the unit's with --serial, and returns the exit code: 0, or 9 when the history cannot be read.
int run_history_list();
