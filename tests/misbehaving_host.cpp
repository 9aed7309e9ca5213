// A host that breaks the panel's USB protocol on purpose, to show that the
// emulator's checks catch it. Usage: misbehaving_host MODE
#include <cstring>
#include <usb.h>

static usb_dev_handle *openPanel()
{
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus *bus = usb_get_busses(); bus; bus = bus->next)
        for (struct usb_device *dev = bus->devices; dev; dev = dev->next)
            if (dev->descriptor.idVendor == 0x15A2 && dev->descriptor.idProduct == 0x0040)
                return usb_open(dev);
    return nullptr;
}

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const char *mode = argv[1];
    usb_dev_handle *h = openPanel();
    if (h == nullptr)
        return 3;
    char ping[3] = {0x00, 0x01, 0x00};
    if (std::strcmp(mode, "unclaimed") != 0) {
        usb_set_configuration(h, 1);
        usb_claim_interface(h, 0);
    }
    if (std::strcmp(mode, "three-byte-header") == 0) {
        usb_bulk_write(h, 0x02, ping, 3, 1000);
    } else if (std::strcmp(mode, "long-payload") == 0) {
        usb_bulk_write(h, 0x02, ping, 2, 1000);
        usb_bulk_write(h, 0x02, ping, 2, 1000);
    } else if (std::strcmp(mode, "retry") == 0) {
        // The first try fails (the test stalls it); trying again is what
        // the programs must never do.
        if (usb_bulk_write(h, 0x02, ping, 2, 1000) != 2)
            usb_bulk_write(h, 0x02, ping, 2, 1000);
    } else {
        usb_bulk_write(h, 0x02, ping, 2, 1000);
    }
    if (std::strcmp(mode, "unreleased") != 0)
        usb_release_interface(h, 0);
    usb_close(h);
    return 0;
}
