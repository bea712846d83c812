// Loading this library leaves a trace: its constructor, which runs inside
// dlopen before any function of the library is asked for, creates the file
// that FYB_STUB_MARKER names. Linked with the project component stand-in,
// so that a trusted copy also works as the component.

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace {

[[gnu::constructor]] void MarkLoaded() {
    const char* marker = std::getenv("FYB_STUB_MARKER");
    if (marker == nullptr) return;
    const int fd = ::open(marker, O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) ::close(fd);
}

}  // namespace
