// Linked into the tests that need the X server: starts it before the first
// test of the process and stops it after the last.
#include "dialogs/tests/DialogTestSupport.h"

namespace {

class CXServerEnvironment : public ::testing::Environment {
public:
    void SetUp() override { brioui_test::TestDisplayName(); }
    void TearDown() override { brioui_test::StopTestDisplay(); }
};

const ::testing::Environment* const g_pEnvironment = ::testing::AddGlobalTestEnvironment(new CXServerEnvironment);

}  // namespace
