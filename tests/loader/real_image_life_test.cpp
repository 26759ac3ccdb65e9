// The real image, nuvixusb.sys as the target build links it, loaded the way
// the platform loads it and run through the same whole life as the linked
// driver (tests/lifecycle/whole_life.h): its entry point is DriverEntry, its
// one export gives the host serial driver the service table, and every
// platform routine it calls is the simulation's, with the verifier's checks.
#include "tests/lifecycle/whole_life.h"
#include "tests/loader/real_image_support.h"
#include "tests/support/sim_test.h"

namespace {

class RealImageLifeTest : public testing_support::SimTest {};

// The pool check runs at the end (SimTest), after the testbed unloaded the
// image's driver.
TEST_F(RealImageLifeTest, AdapterLifeFromBlankChipToReplug)
{
    sim::loader::LoadResult result = sim::loader::LoadImageFile(testing_support::RealImagePath());
    ASSERT_TRUE(result.image) << result.error;
    sim::Testbed bed(result.image->Entry(), result.image->GetServiceTable());
    ASSERT_EQ(bed.pnp->EntryStatus(), STATUS_SUCCESS);
    testing_support::RunWholeLife(bed);
}

}  // namespace
