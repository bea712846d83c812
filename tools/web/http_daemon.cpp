#include "tools/web/http_daemon.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cstring>
#include <memory>

#include "tools/web/request_checks.h"

namespace fybootp::web {
namespace {

constexpr auto kKeepalive = std::chrono::seconds(15);

// One request on its way in: what the router will see, gathered over the
// calls that libmicrohttpd makes for it.
struct Incoming {
    Request request;
    std::size_t limit = kFormBodyLimit;
    bool headersRead = false;
};

// One open event stream.
struct Stream {
    EventHub* events = nullptr;
    EventHub::Counts seen{};
    std::string pending;
};

MHD_Result CollectHeader(void* target, MHD_ValueKind, const char* key, const char* value) {
    auto& request = *static_cast<Request*>(target);
    std::string name(key);
    for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    request.headers[name] = value == nullptr ? "" : value;
    return MHD_YES;
}

// Blocks until there is something to send: the changes since the last
// call as events, or after 15 s a keep-alive comment, which also keeps the
// idle timeout from closing the stream.
ssize_t ReadStream(void* state, std::uint64_t, char* buffer, std::size_t max) {
    auto& stream = *static_cast<Stream*>(state);
    if (stream.pending.empty()) {
        if (stream.events->Closed()) return MHD_CONTENT_READER_END_OF_STREAM;
        const std::vector<Change> changes = stream.events->WaitForChanges(
            &stream.seen, std::chrono::duration_cast<std::chrono::milliseconds>(kKeepalive));
        if (stream.events->Closed()) return MHD_CONTENT_READER_END_OF_STREAM;
        for (const Change change : changes) {
            stream.pending += std::string("event: ") + ChangeName(change) + "\ndata: {}\n\n";
        }
        if (stream.pending.empty()) stream.pending = ": keepalive\n\n";
    }
    const std::size_t size = std::min(max, stream.pending.size());
    std::memcpy(buffer, stream.pending.data(), size);
    stream.pending.erase(0, size);
    return static_cast<ssize_t>(size);
}

void FreeStream(void* state) { delete static_cast<Stream*>(state); }

}  // namespace

HttpDaemon::~HttpDaemon() {
    if (m_daemon != nullptr) MHD_stop_daemon(m_daemon);
}

bool HttpDaemon::Start(int listenFd, std::string* why) {
    m_daemon = MHD_start_daemon(
        MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_POLL, 0,
        nullptr, nullptr, &HttpDaemon::OnRequest, this, MHD_OPTION_LISTEN_SOCKET, listenFd,
        MHD_OPTION_CONNECTION_TIMEOUT, kIdleTimeoutSeconds, MHD_OPTION_CONNECTION_LIMIT,
        kConnectionLimit, MHD_OPTION_URI_LOG_CALLBACK, &HttpDaemon::OnUri, this,
        MHD_OPTION_NOTIFY_COMPLETED, &HttpDaemon::OnCompleted, this, MHD_OPTION_END);
    if (m_daemon == nullptr) *why = "libmicrohttpd did not start";
    return m_daemon != nullptr;
}

// Called with the request line's target as it came, before the library
// decodes it: the router parses the query itself, strictly.
void* HttpDaemon::OnUri(void*, const char* uri, MHD_Connection*) {
    auto incoming = std::make_unique<Incoming>();
    const std::string target = uri == nullptr ? "" : uri;
    const std::size_t question = target.find('?');
    incoming->request.path = target.substr(0, question);
    if (question != std::string::npos) incoming->request.query = target.substr(question + 1);
    incoming->limit = BodyLimitFor(incoming->request.path);
    return incoming.release();
}

MHD_Result HttpDaemon::OnRequest(void* self, MHD_Connection* connection, const char*,
                                 const char* method, const char*, const char* uploadData,
                                 size_t* uploadSize, void** state) {
    auto& daemon = *static_cast<HttpDaemon*>(self);
    auto* incoming = static_cast<Incoming*>(*state);
    if (incoming == nullptr) return MHD_NO;
    Request& request = incoming->request;
    if (!incoming->headersRead) {
        incoming->headersRead = true;
        request.method = method == nullptr ? "" : method;
        MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request);
        // A body announced too large is refused before it is read.
        const std::string length = request.Header("content-length");
        if (!length.empty() && (length.size() > 12 || std::stoull("0" + length) > incoming->limit)) {
            request.bodyTooLarge = true;
            return daemon.Answer(connection, daemon.m_router.Handle(request));
        }
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        if (request.body.size() + *uploadSize > incoming->limit) {
            request.bodyTooLarge = true;
        } else if (!request.bodyTooLarge) {
            request.body.append(uploadData, *uploadSize);
        }
        *uploadSize = 0;
        return MHD_YES;
    }
    return daemon.Answer(connection, daemon.m_router.Handle(request));
}

void HttpDaemon::OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Incoming*>(*state);
    *state = nullptr;
}

MHD_Result HttpDaemon::Answer(MHD_Connection* connection, const Response& answer) {
    MHD_Response* response = nullptr;
    if (answer.eventStream) {
        auto* stream = new Stream{&m_events, m_events.Current(), "retry: 1000\n\n"};
        response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 4096, &ReadStream, stream,
                                                     &FreeStream);
        if (response == nullptr) delete stream;
    } else {
        response = MHD_create_response_from_buffer(
            answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
    }
    if (response == nullptr) return MHD_NO;
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
    for (const auto& [name, value] : SecurityHeaders()) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    for (const auto& [name, value] : answer.headers) {
        MHD_add_response_header(response, name.c_str(), value.c_str());
    }
    const MHD_Result queued =
        MHD_queue_response(connection, static_cast<unsigned>(answer.status), response);
    MHD_destroy_response(response);
    return queued;
}

}  // namespace fybootp::web
