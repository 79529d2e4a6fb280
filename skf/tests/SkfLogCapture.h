/* The log capture of the middleware's tests (log/tests/LogCapture.h), under
 * the SKF tests' namespace. */
#pragma once

#include "log/tests/LogCapture.h"

namespace skf_test {
using logtest::CLogCapture;
}  // namespace skf_test
