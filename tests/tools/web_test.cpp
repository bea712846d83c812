// fybootp-web as the page and an operator's browser meet it: the program as
// a child process on a private bus, in a network namespace of the test's
// own, spoken to over its socket with raw HTTP, so that every header and
// byte of a refused request is the test's choice.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <grp.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <thread>

#include "tests/host/bus_test_support.h"
#include "tests/tools/private_bus_fixture.h"
#include "tests/support/bootp_test_messages.h"

namespace fybootp::testing {
namespace {

struct Answer {
    int status = 0;
    std::string head;  // the status line and headers
    std::string body;
    nlohmann::json Json() const { return nlohmann::json::parse(body, nullptr, false); }
    bool HasHeader(const std::string& line) const { return head.find(line + "\r\n") != std::string::npos; }
};

std::ostream& operator<<(std::ostream& stream, const Answer& answer) {
    return stream << answer.head << "\n" << answer.body;
}

// Where the program listens: a Unix socket's path, or a loopback port.
struct Endpoint {
    std::string path;
    unsigned port = 0;
};

int Connect(const Endpoint& at) {
    int fd = -1;
    if (!at.path.empty()) {
        fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, at.path.c_str(), sizeof(address.sun_path) - 1);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            return -1;
        }
    } else {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(at.port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            close(fd);
            return -1;
        }
    }
    const timeval limit{10, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
    return fd;
}

// Sends `raw` as it is and reads the answer until the program closes the
// connection (every request says Connection: close).
Answer Exchange(const Endpoint& at, const std::string& raw) {
    Answer answer;
    const int fd = Connect(at);
    if (fd < 0) return answer;
    std::size_t sent = 0;
    while (sent < raw.size()) {
        const ssize_t n = send(fd, raw.data() + sent, raw.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) break;  // a refusal may close before the body was sent
        sent += static_cast<std::size_t>(n);
    }
    std::string got;
    char buffer[65536];
    ssize_t n = 0;
    while ((n = recv(fd, buffer, sizeof(buffer), 0)) > 0) got.append(buffer, static_cast<std::size_t>(n));
    close(fd);
    const std::size_t end = got.find("\r\n\r\n");
    answer.head = got.substr(0, end);
    if (end != std::string::npos) answer.body = got.substr(end + 4);
    if (got.rfind("HTTP/1.1 ", 0) == 0) answer.status = std::atoi(got.c_str() + 9);
    return answer;
}

struct Call {
    std::string method = "GET";
    std::string target;
    std::string body;
    std::vector<std::string> headers;  // beyond Host and Connection
    std::string host = "localhost";
};

// A GET, as a browser's address bar makes it.
Call To(const std::string& target, const std::string& host = "localhost",
        std::vector<std::string> headers = {}) {
    return Call{"GET", target, "", std::move(headers), host};
}

std::string Raw(const Call& call) {
    std::string raw = call.method + " " + call.target + " HTTP/1.1\r\nConnection: close\r\n";
    if (!call.host.empty()) raw += "Host: " + call.host + "\r\n";
    for (const std::string& header : call.headers) raw += header + "\r\n";
    if (call.method == "POST") raw += "Content-Length: " + std::to_string(call.body.size()) + "\r\n";
    return raw + "\r\n" + call.body;
}

class WebOnAPrivateBus : public OnAPrivateBusBase {
protected:
    void SetUp() override {
        OnAPrivateBusBase::SetUp();
        if (!Ready()) return;
        bus->InstallActivation(FybootpPath());
        web = Launch({});
        ASSERT_NE(web, nullptr);
        socketPath = bus->Root() + "/run/fybootp/web.sock";
        site.path = socketPath;
        const Answer session = Exchange(site, Raw(To("/api/session")));
        ASSERT_EQ(session.status, 200) << session;
        csrf = session.Json().value("csrf", "");
        ASSERT_EQ(csrf.size(), 32u);
    }

    void TearDown() override {
        if (!web) return;
        web->Signal(SIGTERM);
        EXPECT_EQ(web->Wait(10s), 0) << web->Stderr();
    }

    // fybootp-web started as root, once it said where it listens.
    std::unique_ptr<Child> Launch(std::vector<std::string> args) {
        args.insert(args.begin(), "fybootp-web");
        auto child = std::make_unique<Child>(FYB_WEB_PATH, std::move(args));
        for (int i = 0; i < 100 && child->Stdout().find('\n') == std::string::npos; ++i) {
            if (!child->Running()) break;
            std::this_thread::sleep_for(50ms);
        }
        EXPECT_NE(child->Stdout().find("fybootp-web: "), std::string::npos) << child->Stderr();
        return child;
    }

    // A state change as the page makes it.
    Call Post(const std::string& target, const std::string& body) const {
        return {"POST", target, body,
                {"X-CSRF-Token: " + csrf, "Origin: http://localhost",
                 "Content-Type: application/x-www-form-urlencoded"},
                "localhost"};
    }

    Answer Get(const std::string& target) const { return Exchange(site, Raw(To(target))); }

    std::unique_ptr<Child> web;
    std::string socketPath;
    Endpoint site;
    std::string csrf;
};

TEST_F(WebOnAPrivateBus, RequestsThatFailACheckAreRefusedBeforeAnyCall) {
    const std::string add = "/api/nodes/add";
    const std::string form = "mac=02:4b:77:00:00:01&ip=192.0.2.10";
    auto post = [&](std::vector<std::string> headers, const std::string& body = "") {
        return Call{"POST", add, body.empty() ? form : body, std::move(headers), "localhost"};
    };
    const std::string token = "X-CSRF-Token: " + csrf;
    const Call foreignHost = To("/api/session", "fybootp.example");
    const Call rebound = To("/", "localhost.example:8067");
    const Call badQuery = To("/api/nodes?filter=%zz");
    const Call badOffset = To("/api/nodes?offset=-1");
    const Call getChanges = To(add);
    Call oversizedImport = Post("/api/nodes/import?format=csv", "");
    oversizedImport.headers.push_back("Content-Length: 16777217");
    oversizedImport.method = "POSTRAW";  // Content-Length of its own, no body
    const struct {
        const char* what;
        Call call;
        int status;
        std::string field;
    } cases[] = {
        {"a Host that is not this machine", foreignHost, 403, ""},
        {"a name that only starts like localhost", rebound, 403, ""},
        {"no CSRF token", post({"Origin: http://localhost"}), 403, ""},
        {"a wrong CSRF token", post({"X-CSRF-Token: " + std::string(32, '0'), "Origin: http://localhost"}), 403, ""},
        {"no Origin", post({token}), 403, ""},
        {"an Origin of another site", post({token, "Origin: http://fybootp.example"}), 403, ""},
        {"an Origin of another port", post({token, "Origin: http://localhost:8067"}), 403, ""},
        {"a state change by GET", getChanges, 405, ""},
        {"a malformed query", badQuery, 400, ""},
        {"a negative offset", badOffset, 400, "offset"},
        {"a malformed form", post({token, "Origin: http://localhost"}, "mac=%4&ip=1"), 400, ""},
        {"a field given twice", post({token, "Origin: http://localhost"}, "mac=1&mac=2"), 400, ""},
        {"a form over 64 KiB", post({token, "Origin: http://localhost"}, form + "&x=" + std::string(65536, 'a')), 413, ""},
        {"an import over 16 MiB", oversizedImport, 413, "file"},
        {"a bad address", post({token, "Origin: http://localhost"}, "mac=02:4b:77:00:00:01&ip=192.0.2.300"), 400, "ip"},
        {"a bad MAC", post({token, "Origin: http://localhost"}, "mac=02:4b:77:00:00&ip=192.0.2.10"), 400, "mac"},
        {"a CSV line with a bad address", Post("/api/nodes/import?format=csv", "mac,ip\n02:4b:77:00:00:01,192.0.2.300\n"), 400, "file"},
    };
    for (const auto& [what, call, status, field] : cases) {
        SCOPED_TRACE(what);
        std::string raw = Raw(call);
        if (call.method == "POSTRAW") raw.replace(0, 7, "POST");
        const Answer answer = Exchange(site, raw);
        EXPECT_EQ(answer.status, status) << answer;
        EXPECT_TRUE(answer.HasHeader("Content-Security-Policy: default-src 'self'")) << answer;
        EXPECT_EQ(answer.Json()["error"].value("field", "?"), field) << answer;
    }
    EXPECT_EQ(Get("/api/nodes").Json()["total"], 0) << "a refused request changed the table";
    const Answer ip = Exchange(site, Raw(cases[14].call));
    EXPECT_EQ(ip.Json()["error"]["status"], "E_INVALIDARG");
    EXPECT_EQ(ip.Json()["error"]["message"], "192.0.2.300: part 4 is over 255");
}

TEST_F(WebOnAPrivateBus, AMemberOfGroupFybootpGetsInAndAnotherUserCannotOpenTheSocket) {
    struct stat info {};
    ASSERT_EQ(stat(socketPath.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0660u);
    EXPECT_EQ(info.st_uid, 0u);
    EXPECT_EQ(info.st_gid, bus->ClientGid());
    // The program itself dropped root: nobody, with fybootp as its group.
    std::ifstream status("/proc/" + std::to_string(web->Pid()) + "/status");
    std::stringstream text;
    text << status.rdbuf();
    EXPECT_NE(text.str().find("Uid:\t65534\t65534\t65534\t65534\n"), std::string::npos) << text.str();
    EXPECT_NE(text.str().find("Groups:\t" + std::to_string(bus->ClientGid()) + " \n"),
              std::string::npos)
        << text.str();
    EXPECT_NE(text.str().find("CapEff:\t0000000000000000\n"), std::string::npos);

    // Whoever opens the socket as uid 65534, in or out of the group; the
    // child's exit says whether connect() worked and the page answered.
    auto opens = [&](bool member) {
        const gid_t group = bus->ClientGid();
        const pid_t pid = fork();
        if (pid == 0) {
            if (setgroups(member ? 1 : 0, &group) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                setresuid(65534, 65534, 65534) != 0) {
                _exit(2);
            }
            const Answer answer = Exchange(site, Raw(To("/api/nodes")));
            _exit(answer.status == 200 ? 0 : 1);
        }
        int code = -1;
        waitpid(pid, &code, 0);
        return WIFEXITED(code) ? WEXITSTATUS(code) : -1;
    };
    EXPECT_EQ(opens(true), 0);
    EXPECT_EQ(opens(false), 1);
}

TEST_F(WebOnAPrivateBus, ListenWithoutTheTokenIsRefused) {
    auto local = Launch({"--listen", "127.0.0.1:0"});
    ASSERT_NE(local, nullptr);
    const std::string line = local->Stdout();
    const std::size_t portAt = line.find("http://127.0.0.1:");
    const std::size_t tokenAt = line.find("/?token=");
    ASSERT_NE(tokenAt, std::string::npos) << line;
    const Endpoint at{"", static_cast<unsigned>(std::stoul(line.substr(portAt + 17)))};
    const std::string token = line.substr(tokenAt + 8, 32);
    const std::string host = "127.0.0.1:" + std::to_string(at.port);
    const Answer without = Exchange(at, Raw(To("/", host)));
    EXPECT_EQ(without.status, 403) << without;
    EXPECT_EQ(Exchange(at, Raw(To("/?token=" + std::string(32, 'f'), host))).status,
              403);
    EXPECT_EQ(Exchange(at, Raw(To("/?token=" + token, "fybootp.example"))).status,
              403);
    const Answer first = Exchange(at, Raw(To("/?token=" + token, host)));
    EXPECT_EQ(first.status, 200) << first;
    EXPECT_TRUE(first.HasHeader("Set-Cookie: fybootp_token=" + token +
                                "; HttpOnly; SameSite=Strict; Path=/"))
        << first;
    const Answer later = Exchange(
        at, Raw(To("/app.js", host, {"Cookie: fybootp_token=" + token})));
    EXPECT_EQ(later.status, 200) << later;
    local->Signal(SIGTERM);
    EXPECT_EQ(local->Wait(10s), 0);
}

TEST_F(WebOnAPrivateBus, AddListSeeANewDeviceLiveAndAssignIt) {
    ASSERT_EQ(Exchange(site, Raw(Post("/api/nodes/add", "mac=02-4b-77-00-00-0a&ip=192.0.2.10"))).status, 200);
    ASSERT_EQ(Exchange(site, Raw(Post("/api/host", "override=1&name=cell&ip=192.0.2.1&mask=255.255.255.0&router="))).status, 200);
    ASSERT_EQ(Exchange(site, Raw(Post("/api/server", "started=1&replies=1"))).status, 200);
    const nlohmann::json nodes = Get("/api/nodes?filter=00:0a").Json();
    EXPECT_EQ(nodes["total"], 1);
    EXPECT_EQ(nodes["matched"], 1);
    EXPECT_EQ(nodes["rows"][0]["mac"], "02:4B:77:00:00:0A");
    EXPECT_EQ(Get("/api/nodes?filter=198.51").Json()["matched"], 0);
    EXPECT_EQ(Get("/api/server").Json()["started"], true);

    // The event stream says "new" once the device has asked.
    const int stream = Connect(site);
    const std::string request = Raw(To("/api/events"));
    ASSERT_EQ(send(stream, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string events;
    char buffer[4096];
    const auto until = std::chrono::steady_clock::now() + 5s;
    // The stream is open once its first line came; the device asks after.
    bool asked = false;
    while (events.find("event: new\n") == std::string::npos && std::chrono::steady_clock::now() < until) {
        if (!asked && events.find("retry: 1000\n") != std::string::npos) {
            EXPECT_TRUE(MakersDeviceAsksOnLoopback(0x09));
            asked = true;
        }
        const ssize_t n = recv(stream, buffer, sizeof(buffer), 0);
        if (n <= 0) break;
        events.append(buffer, static_cast<std::size_t>(n));
    }
    close(stream);
    EXPECT_NE(events.find("text/event-stream"), std::string::npos) << events;
    EXPECT_NE(events.find("event: new\ndata: {}\n\n"), std::string::npos) << events;

    const nlohmann::json fresh = Get("/api/new").Json();
    ASSERT_EQ(fresh["rows"].size(), 1u) << fresh;
    EXPECT_EQ(fresh["rows"][0]["mac"], "02:4B:77:00:00:09");
    EXPECT_EQ(fresh["rows"][0]["suggested"], "192.0.2.2");
    ASSERT_EQ(Exchange(site, Raw(Post("/api/assign", "mac=02:4B:77:00:00:09&ip=192.0.2.2"))).status, 200);
    EXPECT_EQ(Get("/api/new").Json()["rows"].size(), 0u);
    EXPECT_EQ(Get("/api/nodes").Json()["total"], 2);
    const nlohmann::json log = Get("/api/log?filter=00:00:09").Json();
    EXPECT_EQ(log["rows"].size(), 1u) << log;
    const Answer csv = Get("/api/nodes/export?format=csv");
    // Assigning took the table in again, which sorts it.
    EXPECT_EQ(csv.body, "mac,ip\n02:4B:77:00:00:09,192.0.2.2\n02:4B:77:00:00:0A,192.0.2.10\n");
    EXPECT_TRUE(csv.HasHeader("Content-Disposition: attachment; filename=\"nodes.csv\""));
    const Answer imported = Exchange(site, Raw(Post("/api/nodes/import?format=csv", csv.body)));
    EXPECT_EQ(imported.Json()["rows"], 2) << imported;
}

// The units the package installs: they verify clean, the socket is the
// login (root:fybootp 0660), and the service runs sandboxed as a user of
// its own with the group.
TEST(WebUnits, VerifyCleanAndExposureStaysLow) {
    char pattern[] = "/tmp/fyb-web-unit-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    std::string texts[2];
    const char* names[2] = {"fybootp-web.socket", "fybootp-web.service"};
    for (int i = 0; i < 2; ++i) {
        std::ifstream in(std::string(FYB_WEB_UNITS) + "/" + names[i]);
        std::stringstream text;
        text << in.rdbuf();
        texts[i] = text.str();
    }
    for (const char* line : {"ListenStream=/run/fybootp/web.sock\n", "SocketUser=root\n",
                             "SocketGroup=fybootp\n", "SocketMode=0660\n"}) {
        EXPECT_NE(texts[0].find(line), std::string::npos) << line;
    }
    for (const char* line : {"ExecStart=/usr/bin/fybootp-web\n", "DynamicUser=yes\n",
                             "SupplementaryGroups=fybootp\n", "CapabilityBoundingSet=\n"}) {
        EXPECT_NE(texts[1].find(line), std::string::npos) << line;
    }
    if (Shell("command -v systemd-analyze >/dev/null") == 0) {
        // verify wants the program to exist: the one under test stands in.
        const std::string exec = "ExecStart=/usr/bin/fybootp-web\n";
        texts[1].replace(texts[1].find(exec), exec.size(),
                         std::string("ExecStart=") + FYB_WEB_PATH + "\n");
        for (int i = 0; i < 2; ++i) std::ofstream(dir + "/" + names[i]) << texts[i];
        const std::string out = dir + "/out";
        EXPECT_EQ(Shell("systemd-analyze verify " + dir + "/" + names[0] + " " + dir + "/" +
                        names[1] + " >" + out + " 2>&1"),
                  0);
        std::ifstream verified(out);
        std::stringstream report;
        report << verified.rdbuf();
        EXPECT_EQ(report.str(), "");
        Shell("systemd-analyze security --offline=yes " + dir + "/" + names[1] + " >" + out +
              " 2>&1");
        std::ifstream analysed(out);
        std::stringstream security;
        security << analysed.rdbuf();
        const std::string heading = "Overall exposure level for fybootp-web.service: ";
        const std::size_t at = security.str().find(heading);
        ASSERT_NE(at, std::string::npos) << security.str();
        const double exposure = std::stod(security.str().substr(at + heading.size()));
        EXPECT_LE(exposure, 2.0) << security.str();
        RecordProperty("fybootp-web.service", std::to_string(exposure));
    }
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace fybootp::testing
