// A process that owns org.fybootp.FyBootpServer on a bus without being the
// server, as a loose policy would let someone: it answers CreateInstance
// with an object path, refuses every other call, and writes the member of
// each call it gets to standard output, so that a test sees whether a
// client went on past activation.
// Usage: name_owner_stub BUS_ADDRESS. It ends when killed, or after a minute.

#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

int OnCall(sd_bus_message* call, void*, sd_bus_error*) {
    const char* member = sd_bus_message_get_member(call);
    std::printf("%s\n", member != nullptr ? member : "?");
    std::fflush(stdout);
    if (member != nullptr && std::strcmp(member, "CreateInstance") == 0) {
        return sd_bus_reply_method_return(call, "o", "/org/fybootp/FyBootpServer/1");
    }
    return sd_bus_reply_method_errorf(call, SD_BUS_ERROR_ACCESS_DENIED, "a stand-in");
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) return 2;
    sd_bus* bus = nullptr;
    if (sd_bus_new(&bus) < 0 || sd_bus_set_address(bus, argv[1]) < 0 ||
        sd_bus_set_bus_client(bus, 1) < 0 || sd_bus_start(bus) < 0 ||
        sd_bus_add_fallback(bus, nullptr, "/", OnCall, nullptr) < 0 ||
        sd_bus_request_name(bus, "org.fybootp.FyBootpServer", 0) < 0) {
        return 1;
    }
    const std::time_t end = std::time(nullptr) + 60;
    while (std::time(nullptr) < end) {
        const int r = sd_bus_process(bus, nullptr);
        if (r < 0) break;
        if (r == 0 && sd_bus_wait(bus, 1000000) < 0) break;
    }
    sd_bus_flush_close_unref(bus);
    return 0;
}
