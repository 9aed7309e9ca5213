#include "devlink/panel_list.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>
#include <usb.h>

#include "devlink/boot_link.h"
#include "devlink/failure.h"

namespace {

// One sysfs attribute's first line.
std::string readAttribute(const std::string &path)
{
    std::string value;
    if (std::FILE *file = std::fopen(path.c_str(), "r")) {
        char line[64] = {};
        if (std::fgets(line, sizeof line, file) != nullptr)
            value = line;
        std::fclose(file);
    }
    while (!value.empty() && (value.back() == '\n' || value.back() == ' '))
        value.pop_back();
    return value;
}

// "crw-rw---- root:plugdev", as ls shows a node.
std::string modeAndOwner(const struct stat &st)
{
    std::string mode = S_ISCHR(st.st_mode) ? "c" : S_ISREG(st.st_mode) ? "-" : "?";
    const char *const bits = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i)
        mode += (st.st_mode & (0400 >> i)) ? bits[i] : '-';
    const passwd *user = getpwuid(st.st_uid);
    const group *grp = getgrgid(st.st_gid);
    return mode + " " + (user ? user->pw_name : std::to_string(st.st_uid)) + ":" +
           (grp ? grp->gr_name : std::to_string(st.st_gid));
}

// Whether this user may open the panel's node, and if not, why not.
void judgeAccess(PanelPlace &panel)
{
    if (panel.node.empty()) {
        panel.mayOpen = panel.listed;
        if (!panel.listed)
            panel.why = "the USB library does not list it";
        return;
    }
    struct stat st {};
    if (stat(panel.node.c_str(), &st) != 0) {
        panel.why = panel.node + " does not exist (yet)";
        return;
    }
    panel.mayOpen = access(panel.node.c_str(), R_OK | W_OK) == 0;
    if (!panel.mayOpen)
        panel.why = "this user may not write " + panel.node + " (" + modeAndOwner(st) + "): " + accessAdvice();
}

} // namespace

std::string PanelPlace::name() const
{
    return !port.empty() ? "port " + port : "bus " + std::to_string(bus) + " device " + std::to_string(device);
}

std::string deviceNodeOf(int bus, int device)
{
#if defined(__linux__)
    char node[32];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", bus, device);
    return node;
#else
    (void)bus;
    (void)device;
    return {};
#endif
}

std::vector<PanelPlace> panelsInSysfs()
{
    std::vector<PanelPlace> panels;
#if defined(__linux__)
    const std::string root = "/sys/bus/usb/devices/";
    DIR *dir = opendir(root.c_str());
    if (dir == nullptr)
        return panels;
    while (dirent *entry = readdir(dir)) {
        const std::string name = entry->d_name;
        // Devices are named after their port ("1-1.4"); interfaces carry a
        // colon, root hubs are "usbN".
        if (name[0] == '.' || name.find(':') != std::string::npos || name.compare(0, 3, "usb") == 0)
            continue;
        const std::string device = root + name + "/";
        if (std::strtol(readAttribute(device + "idVendor").c_str(), nullptr, 16) != bootlink::kVendorId ||
            std::strtol(readAttribute(device + "idProduct").c_str(), nullptr, 16) != bootlink::kProductId)
            continue;
        PanelPlace panel;
        panel.port = name;
        panel.bus = std::atoi(readAttribute(device + "busnum").c_str());
        panel.device = std::atoi(readAttribute(device + "devnum").c_str());
        panel.speed = readAttribute(device + "speed");
        panels.push_back(panel);
    }
    closedir(dir);
#endif
    return panels;
}

std::vector<PanelPlace> listPanels()
{
    std::vector<PanelPlace> panels = panelsInSysfs();
    usb_init();
    usb_find_busses();
    usb_find_devices();
    for (usb_bus *bus = usb_get_busses(); bus != nullptr; bus = bus->next) {
        for (struct usb_device *dev = bus->devices; dev != nullptr; dev = dev->next) {
            if (dev->descriptor.idVendor != bootlink::kVendorId || dev->descriptor.idProduct != bootlink::kProductId)
                continue;
            const int busNumber = std::atoi(bus->dirname), deviceNumber = std::atoi(dev->filename);
            auto known = std::find_if(panels.begin(), panels.end(), [&](const PanelPlace &p) {
                return p.bus == busNumber && p.device == deviceNumber;
            });
            if (known == panels.end()) {
                panels.push_back(PanelPlace{});
                known = panels.end() - 1;
                known->bus = busNumber;
                known->device = deviceNumber;
            }
            known->listed = true;
        }
    }
    for (PanelPlace &panel : panels) {
        panel.node = deviceNodeOf(panel.bus, panel.device);
        judgeAccess(panel);
    }
    std::sort(panels.begin(), panels.end(), [](const PanelPlace &a, const PanelPlace &b) {
        return std::tie(a.port, a.bus, a.device) < std::tie(b.port, b.bus, b.device);
    });
    return panels;
}
