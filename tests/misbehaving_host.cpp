// A host that breaks the panel's USB protocol on purpose, to show that the
// emulator's checks catch it. Usage: misbehaving_host MODE
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

// "0201080A" as the bytes 0x02 0x01 0x08 0x0A.
std::vector<char> fromHex(const std::string &hex)
{
    std::vector<char> bytes;
    for (std::size_t i = 0; i + 1 < hex.size(); i += 2)
        bytes.push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

} // namespace

// MODE is a way of breaking the transport; or "send" followed by frame
// payloads in hex, sent as the programs send frames, for requests that a
// real panel would act on to its harm.
int main(int argc, char **argv)
{
    if (argc < 2)
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
    } else if (mode == "send") {
        for (int i = 2; i < argc; ++i)
            sendFrame(h, fromHex(argv[i]));
    } else {
        usb_bulk_write(h, 0x02, ping, 2, 1000);
    }
    if (mode != "unreleased")
        usb_release_interface(h, 0);
    usb_close(h);
    return 0;
}
