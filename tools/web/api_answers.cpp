#include "tools/web/api_answers.h"

#include <cstdio>

#include "platform/com/hresult_name.h"

namespace fybootp::web {

Response JsonAnswer(const nlohmann::json& body, int status) {
    Response response;
    response.status = status;
    // Texts from the server or from the request may hold bytes that are
    // not UTF-8; they are replaced rather than ending the answer.
    response.body = body.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    return response;
}

Response StatusAnswer(HRESULT status) {
    return JsonAnswer({{"status", std::string(HresultName(status))}});
}

Response ErrorAnswer(int httpStatus, const std::string& field, HRESULT status,
                     const std::string& message) {
    char code[16];
    std::snprintf(code, sizeof(code), "0x%08X", static_cast<unsigned>(status));
    return JsonAnswer({{"error",
                        {{"field", field},
                         {"status", std::string(HresultName(status))},
                         {"code", code},
                         {"message", message}}}},
                      httpStatus);
}

Response InputErrorAnswer(const InputError& error) {
    return ErrorAnswer(400, error.field, E_INVALIDARG, error.message);
}

Response FailureAnswer(const tools::Failure& failure, const std::string& field) {
    const bool reaching = tools::ExitCodeOf(failure) == tools::kExitUnreachable;
    return ErrorAnswer(reaching ? 502 : 409, reaching ? "" : field, failure.status,
                       failure.what + ": " + tools::HintOf(failure));
}

}  // namespace fybootp::web
