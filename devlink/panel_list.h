// The panels on this host: where each is plugged in and whether this user
// may open it. The USB library lists what it sees (libusb-0.1.12 not even
// a panel this user may not open); on Linux, the kernel's own list in
// sysfs adds the port each panel is plugged into and the panels the
// library hides.
#pragma once

#include <string>
#include <vector>

struct PanelPlace {
    // The kernel's device path, "1-1.4": the socket, the same whichever
    // panel is plugged into it. Empty where the system has no sysfs.
    std::string port;
    int bus = 0;
    int device = 0;
    std::string speed;  // in Mbit/s, as the kernel gives it ("12", "480"); empty where unknown
    std::string node;   // its device node, where the system has one
    bool listed = false;   // the USB library lists it
    bool mayOpen = false;  // this user may read and write its node
    std::string why;       // when not: what stands in the way

    // "port 1-1.4", or "bus 1 device 4" where the system gives no port.
    std::string name() const;
};

// Every panel (USB 15a2:0040) on the host, ordered by port, else by bus
// and device.
std::vector<PanelPlace> listPanels();

// The panels the kernel lists in sysfs, with their ports and speeds; none
// where the system has no sysfs. Linux only: elsewhere the library's own
// list, with bus and device numbers, is all there is.
std::vector<PanelPlace> panelsInSysfs();

// A device's node as Linux's usbfs names it ("/dev/bus/usb/001/004");
// empty on other systems.
std::string deviceNodeOf(int bus, int device);
