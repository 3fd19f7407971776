// One line per problem, on stderr (the journal under systemd) or a test's sink.
#pragma once

namespace Capture {

void LogLine(const char *format, ...) __attribute__((format(printf, 1, 2)));

}  // namespace Capture
