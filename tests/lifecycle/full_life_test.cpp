// One adapter's whole life over the linked driver (tests/lifecycle/
// whole_life.h); tests/loader runs the same life over the loaded image.
#include "tests/lifecycle/lifecycle_support.h"
#include "tests/lifecycle/whole_life.h"

namespace {

class FullLifeTest : public testing_support::LifecycleTest {};

TEST_F(FullLifeTest, BlankToWorkingToStoppedToPulledOutToWorkingAgain)
{
    testing_support::RunWholeLife(*this, [] { return AdapterTable.Count; });
}

}  // namespace
