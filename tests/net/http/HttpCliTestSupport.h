// What the client tests share: running a synchronous request and keeping what it raised.
#pragma once

#include "net/http/HttpProt.h"

#include <string>
#include <utility>

// Runs Get; the code and message of its EHttpException (0 and "" when none).
inline std::pair<int, std::string> TryGet(THttpCli& cli) {
    try {
        cli.Get();
    } catch (const EHttpException& e) {
        return {e.ErrorCode(), e.Message()};
    }
    return {0, ""};
}
