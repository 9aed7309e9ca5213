#include "bench/plug_events.h"

#include <cstdlib>

#if defined(PANEL_HAVE_LIBUDEV)
#include <libudev.h>
#endif

#include "devlink/boot_link.h"

struct PlugEvents::Impl {
#if defined(PANEL_HAVE_LIBUDEV)
    udev *context = nullptr;
    udev_monitor *monitor = nullptr;
#endif
};

PlugEvents::PlugEvents() : impl(std::make_unique<Impl>()) {}

PlugEvents::~PlugEvents() { stop(); }

#if defined(PANEL_HAVE_LIBUDEV)

namespace {

bool isPanel(udev_device *device)
{
    const char *vendor = udev_device_get_sysattr_value(device, "idVendor");
    const char *product = udev_device_get_sysattr_value(device, "idProduct");
    return vendor != nullptr && product != nullptr && std::strtol(vendor, nullptr, 16) == bootlink::kVendorId &&
           std::strtol(product, nullptr, 16) == bootlink::kProductId;
}

int number(udev_device *device, const char *attribute)
{
    const char *value = udev_device_get_sysattr_value(device, attribute);
    return value != nullptr ? std::atoi(value) : 0;
}

} // namespace

bool PlugEvents::start(std::string &error)
{
    impl->context = udev_new();
    impl->monitor = impl->context ? udev_monitor_new_from_netlink(impl->context, "udev") : nullptr;
    if (impl->monitor == nullptr ||
        udev_monitor_filter_add_match_subsystem_devtype(impl->monitor, "usb", "usb_device") < 0 ||
        udev_monitor_enable_receiving(impl->monitor) < 0) {
        error = "cannot listen to udev for panels being plugged in";
        return false;
    }
    return true;
}

int PlugEvents::fd() const { return impl->monitor ? udev_monitor_get_fd(impl->monitor) : -1; }

std::vector<PlugEvent> PlugEvents::take()
{
    std::vector<PlugEvent> events;
    while (impl->monitor != nullptr) {
        udev_device *device = udev_monitor_receive_device(impl->monitor);
        if (device == nullptr)
            break;
        const std::string action = udev_device_get_action(device) ? udev_device_get_action(device) : "";
        const std::string port = udev_device_get_sysname(device);
        // A device pulled out has no attributes left to tell what it was:
        // every removal is told, and the caller knows its panels' ports.
        if (action == "add" && isPanel(device))
            events.push_back(PlugEvent{true, port, number(device, "busnum"), number(device, "devnum")});
        else if (action == "remove")
            events.push_back(PlugEvent{false, port, 0, 0});
        udev_device_unref(device);
    }
    return events;
}

void PlugEvents::stop()
{
    if (impl->monitor != nullptr)
        udev_monitor_unref(impl->monitor);
    if (impl->context != nullptr)
        udev_unref(impl->context);
    impl->monitor = nullptr;
    impl->context = nullptr;
}

#else

bool PlugEvents::start(std::string &error)
{
    error = "this build cannot hear panels being plugged in (it was built without libudev)";
    return false;
}

int PlugEvents::fd() const { return -1; }
std::vector<PlugEvent> PlugEvents::take() { return {}; }
void PlugEvents::stop() {}

#endif
