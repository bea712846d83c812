#pragma once
// libmicrohttpd around the router: one thread a connection, so that an
// event stream may block while it waits for the next change; request
// bodies gathered up to their cap; the router's answer sent with the
// security headers; idle connections closed after 30 s.

#include <microhttpd.h>

#include <string>

#include "tools/web/event_hub.h"
#include "tools/web/router.h"

namespace fybootp::web {

inline constexpr unsigned kIdleTimeoutSeconds = 30;
inline constexpr unsigned kConnectionLimit = 64;

class HttpDaemon {
public:
    HttpDaemon(Router& router, EventHub& events) : m_router(router), m_events(events) {}
    ~HttpDaemon();
    HttpDaemon(const HttpDaemon&) = delete;
    HttpDaemon& operator=(const HttpDaemon&) = delete;

    // Serves on `listenFd` from threads of the library's own.
    bool Start(int listenFd, std::string* why);

private:
    static void* OnUri(void* self, const char* uri, MHD_Connection* connection);
    static MHD_Result OnRequest(void* self, MHD_Connection* connection, const char* url,
                                const char* method, const char* version, const char* uploadData,
                                size_t* uploadSize, void** state);
    static void OnCompleted(void* self, MHD_Connection* connection, void** state,
                            MHD_RequestTerminationCode code);
    MHD_Result Answer(MHD_Connection* connection, const Response& response);

    Router& m_router;
    EventHub& m_events;
    MHD_Daemon* m_daemon = nullptr;
};

}  // namespace fybootp::web
