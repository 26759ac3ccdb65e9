// The real image, nuvixusb.sys as the target build links it, loaded the way
// the platform loads it and run through an adapter's whole life in the
// simulation: its entry point is DriverEntry, its one export gives the host
// serial driver the service table, and every platform routine it calls is
// the simulation's, with the verifier's checks.
#include <memory>
#include <vector>

#include "sim/chip/ezusb_chip.h"
#include "sim/host/host_serial_driver.h"
#include "sim/kernel/registry.h"
#include "sim/pnp/config_manager.h"
#include "sim/pnp/pnp_manager.h"
#include "tests/loader/real_image_support.h"
#include "tests/support/sim_test.h"

namespace {

constexpr int64_t kPatience = 2 * sim::kTicksPerSecond;
const char *kParametersKey = "\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\NUVIXUSB\\Parameters";

class RealImageLifeTest : public testing_support::SimTest {
protected:
    void SetUp() override
    {
        sim::loader::LoadResult result = sim::loader::LoadImageFile(testing_support::RealImagePath());
        ASSERT_TRUE(result.image) << result.error;
        image = std::move(result.image);
        sim::Registry::Get().CreateKey(kParametersKey);
        sim::pnp::ConfigManager::Get().SetServiceTableGetter(image->GetServiceTable());
        pnp = std::make_unique<sim::pnp::PnpManager>(image->Entry());
        ASSERT_EQ(pnp->EntryStatus(), STATUS_SUCCESS);
    }
    void TearDown() override
    {
        pnp.reset();
        SimTest::TearDown();
    }

    sim::chip::EzUsbChip &PlugChip()
    {
        chips.push_back(std::make_unique<sim::chip::EzUsbChip>());
        sim::chip::EzUsbChip &chip = *chips.back();
        chip.OnReEnumerate([this, &chip](sim::chip::Program) { pnp->DeviceLeftAndReturned(chip); });
        EXPECT_EQ(pnp->Plug(chip).status, STATUS_SUCCESS);
        pnp->WaitIdle();
        return chip;
    }

    std::unique_ptr<sim::loader::LoadedImage> image;
    std::vector<std::unique_ptr<sim::chip::EzUsbChip>> chips;
    std::unique_ptr<sim::pnp::PnpManager> pnp;
};

TEST_F(RealImageLifeTest, BlankChipIsDownloadedAndConfigured)
{
    sim::chip::EzUsbChip &chip = PlugChip();
    EXPECT_EQ(chip.Running(), sim::chip::Program::Main);
    sim::pnp::Device *device = pnp->Current(chip);
    ASSERT_NE(device, nullptr);
    EXPECT_EQ(device->State(), sim::pnp::DeviceState::Started);
    EXPECT_NE(sim::pnp::ConfigManager::Get().HostFor("NX4A0001"), nullptr);
}

}  // namespace
