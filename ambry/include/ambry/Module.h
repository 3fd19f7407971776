// Module start-up and shut-down of the library.
//
// Every module has a start count: only the first start initialises it, only the
// matching last stop tears it down. CoreStart brings the modules up in this order:
// "THREAD", "WKQ", a further counted start of "THREAD", "HASH", "RANDOM"; CoreStop
// takes them down in reverse. A module that cannot start writes
// "Cannot initialize %s module, exiting...\n" to the error channel and aborts the
// process. The network module (Net.h) starts the core as well (counted).
#pragma once

namespace Ambry {

// Starts the core modules (counted); true (a failure aborts the process).
bool CoreStart();
// Stops them again (counted); the last stop tears the modules down.
void CoreStop();

// Start count of a module by name ("THREAD", "WKQ", "HASH", "RANDOM", "NET"); -1 for an
// unknown name. For diagnostics and tests.
int ModuleStartCount(const char *name);

}  // namespace Ambry
