// The helper's last line when it dies of a fault: a fatal signal (a crash inside a library, such
// as the recogniser on a model damaged since it was proven) or a library ending the process with
// exit(). While armed, such a death writes one prepared line, a failure, to the client before
// the process ends with status 0, as an answered request does; a request whose terminal line
// has been written disarms it first, so that the client never gets two.
#pragma once

#include <string_view>

namespace vorel::lastwords {

// Arms the last line for this process, written whole to `fd` (at most 1 KB). Call once, before
// threads start.
void arm(int fd, std::string_view line);
// Disarms it. False only when a dying thread has already written it: the caller must then
// write nothing more.
bool disarm();

}  // namespace vorel::lastwords
