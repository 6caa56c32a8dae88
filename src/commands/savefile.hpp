#pragma once

#include <cstdio>
#include <functional>
#include <string>

namespace bootlink {

// Writes a file the way every read saves one: `write` fills a new file
// beside `path` that is then renamed over it, so a link named `path` is
// replaced, never followed, and a run that stops half way leaves the old
// file whole. `beforeWrite` prints what goes with the file first. A failure
// prints its "Error: ..." line and ends the run; nothing half-written stays
// behind.
void saveFile(const std::string& path, const std::function<void(FILE*)>& write,
              const std::function<void()>& beforeWrite = [] {});

}  // namespace bootlink
