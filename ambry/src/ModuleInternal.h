// Hooks between the modules of the library (not public).
#pragma once

namespace Ambry {

// Counted start and stop of one module by name; a failed first start aborts.
void ModuleStart(const char *name);
void ModuleStop(const char *name);

void RandomModuleStart();
bool NetModuleStart();
void HashModuleStop();

}  // namespace Ambry
