// GPIO banks and UARTs: only their discovery links (the GPIO character device and the
// serial lines themselves are not modelled here).
#include "model.h"

namespace simk {

namespace {

void add_gpio(const char* bank, int index)
{
    const std::string n = "gpiochip" + std::to_string(index);
    const std::string dir = std::string(profile->ocp) + "/" + bank + "/" + n;
    const std::string dev = "254:" + std::to_string(index) + "\n";
    the_tree.attr(dir + "/dev", [dev](std::string& s) { s = dev; return 0; });
    the_tree.link("/bus/gpio/devices/" + n, dir);
}

void add_uart(int n)
{
    static const char* const addr[] = {"44e09000", "48022000", "48024000", "481a6000", "481a8000", "481aa000"};
    const std::string uart = std::string(profile->ocp) + "/" + addr[n] + ".serial";
    const std::string devdir =
        profile->serial_port_devices ? uart + "/" + addr[n] + ".serial:0/" + addr[n] + ".serial:0.0" : uart;
    const std::string dir = devdir + "/tty/ttyS" + std::to_string(n);
    const std::string dev = "4:" + std::to_string(64 + n) + "\n";
    the_tree.attr(dir + "/dev", [dev](std::string& s) { s = dev; return 0; });
    the_tree.link(dir + "/device", devdir);
    the_tree.link("/class/tty/ttyS" + std::to_string(n), dir);
}

}  // namespace

void add_links()
{
    for (size_t i = 0; i < profile->gpio.size(); ++i) add_gpio(profile->gpio[i], static_cast<int>(i));
    for (int n : profile->uarts) add_uart(n);
}

}  // namespace simk
