#pragma once

#include "agent/service/APIFailure.h"
#include "platform/Expected.h"

namespace tessary {

// The outcome of one API client operation.
template <typename T>
using APIResult = Expected<T, APIFailure>;

}  // namespace tessary
