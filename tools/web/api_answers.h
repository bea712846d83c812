#pragma once
// The JSON answers of /api/ and the one error shape they all share:
// {"error": {"field", "status", "code", "message"}}, so that the page puts
// every error beside the field that caused it, with the status's name.

#include <nlohmann/json.hpp>
#include <string>

#include "tools/client/client_failure.h"
#include "tools/web/http_message.h"

namespace fybootp::web {

// Input that is refused before any call to the server: 400.
struct InputError {
    std::string field;    // "mac", "ip", "file", ...; "" for none
    std::string message;  // "192.0.2.300: part 4 is over 255"
};

Response JsonAnswer(const nlohmann::json& body, int status = 200);
Response StatusAnswer(HRESULT status);  // {"status": "S_OK"}
Response ErrorAnswer(int httpStatus, const std::string& field, HRESULT status,
                     const std::string& message);
Response InputErrorAnswer(const InputError& error);
// 502 when the server could not be reached, 409 when it refused.
Response FailureAnswer(const tools::Failure& failure, const std::string& field);

}  // namespace fybootp::web
