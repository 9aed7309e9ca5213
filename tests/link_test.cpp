// BootLink and RAM driver loading against the emulated panel, through the
// real libusb-0.1 in this very process (the umockdev preload is linked in).
#include <gtest/gtest.h>

#include "devlink/boot_link.h"
#include "emulator/usb_panel.h"

TEST(Smoke, Ping)
{
    emu::UsbPanel panel(emu::RamDriver::SerialFlash);
    ASSERT_TRUE(panel.ready()) << panel.setupError();
    {
        BootLink link;
        ASSERT_TRUE(link.open());
        EXPECT_TRUE(link.ping());
    }
    panel.checkHostEnded(true);
    for (auto &e : panel.wire())
        std::printf("%s\n", e.text().c_str());
    for (auto &v : panel.violations())
        std::printf("VIOLATION %s\n", v.c_str());
}
