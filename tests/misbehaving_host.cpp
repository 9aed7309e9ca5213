// A host that breaks the panel's USB protocol on purpose, to show that the
// emulator's checks catch it. Usage: misbehaving_host MODE
#include <cstring>
#include <string>
#include <usb.h>
#include <vector>

namespace {

usb_dev_handle *openPanel()
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

// One frame as the programs send it: its length, then its payload.
void sendFrame(usb_dev_handle *h, std::vector<char> payload)
{
    char header[2] = {static_cast<char>(payload.size() >> 8), static_cast<char>(payload.size())};
    usb_bulk_write(h, 0x02, header, 2, 1000);
    usb_bulk_write(h, 0x02, payload.data(), static_cast<int>(payload.size()), 1000);
}

std::vector<char> pageRequest(std::vector<char> head)
{
    head.resize(head.size() + 256, 0x5A);
    return head;
}

// Requests that a real panel would act on to its harm; false for a mode
// that is not one of them.
bool sendHarmfulRequests(usb_dev_handle *h, const std::string &mode)
{
    if (mode == "serial-write-before-init") {
        sendFrame(h, pageRequest({0x02, 0x01, 0x00, 0x20}));
    } else if (mode == "erase-bootloader") {
        sendFrame(h, {0x02, 0x00});
        sendFrame(h, {0x02, 0x01, 0x07, 0x01});
    } else if (mode == "write-bootloader") {
        sendFrame(h, {0x02, 0x00});
        sendFrame(h, pageRequest({0x02, 0x02, 0x00, 0x3F}));
    } else if (mode == "ram-page-32") {
        sendFrame(h, pageRequest({0x01, 0x20}));
    } else if (mode == "driver-before-upload") {
        // Page 0 of a three-page sample driver, then a call into it.
        std::vector<char> page = pageRequest({0x01, 0x00});
        std::memcpy(page.data() + 2, "PANEL-FLASH-DRV", 15);
        page[2 + 16] = 0x03;
        page[2 + 17] = 0x00;
        sendFrame(h, page);
        sendFrame(h, {0x02, 0x00});
    } else {
        return false;
    }
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2)
        return 2;
    const std::string mode = argv[1];
    usb_dev_handle *h = openPanel();
    if (h == nullptr)
        return 3;
    char ping[3] = {0x00, 0x01, 0x00};
    if (mode != "unclaimed")
        usb_set_configuration(h, 1);
    if (mode != "unclaimed" && mode != "configured-unclaimed")
        usb_claim_interface(h, 0);
    if (mode == "three-byte-header") {
        usb_bulk_write(h, 0x02, ping, 3, 1000);
    } else if (mode == "long-payload") {
        usb_bulk_write(h, 0x02, ping, 2, 1000);
        usb_bulk_write(h, 0x02, ping, 2, 1000);
    } else if (mode == "retry") {
        // The first try fails (the test stalls it); trying again is what
        // the programs must never do.
        if (usb_bulk_write(h, 0x02, ping, 2, 1000) != 2)
            usb_bulk_write(h, 0x02, ping, 2, 1000);
    } else if (!sendHarmfulRequests(h, mode)) {
        usb_bulk_write(h, 0x02, ping, 2, 1000);
    }
    if (mode != "unreleased")
        usb_release_interface(h, 0);
    usb_close(h);
    return 0;
}
