#include "port_facts.h"

#include <dirent.h>
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <fstream>

namespace kytprobe {

namespace {

// A serial port's driver type: 0 (PORT_UNKNOWN) is a ttyS name that the
// 8250 driver keeps for a UART it did not find.
constexpr const char *kNoUartType = "0";

std::string RealPath(const std::string &path)
{
    char resolved[PATH_MAX];
    return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : std::string();
}

std::string BaseName(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string LinkTarget(const std::string &path)
{
    char target[PATH_MAX];
    ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

// The first line of a small sysfs file, "" when it cannot be read.
std::string FirstLine(const std::string &path)
{
    std::ifstream file(path);
    std::string line;
    std::getline(file, line);
    return line;
}

std::vector<std::string> Entries(const std::string &folder)
{
    std::vector<std::string> names;
    DIR *dir = opendir(folder.c_str());
    if (dir == nullptr)
        return names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Links in `folder` that lead to the same file as `target`.
std::vector<std::string> LinksTo(const std::string &folder, const std::string &target)
{
    std::vector<std::string> links;
    if (target.empty())
        return links;
    for (const std::string &name : Entries(folder)) {
        std::string link = folder + "/" + name;
        if (RealPath(link) == target)
            links.push_back(link);
    }
    std::sort(links.begin(), links.end());
    return links;
}

// Name order with numbers compared as numbers: ttyS2 before ttyS10.
bool NaturalLess(const std::string &a, const std::string &b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (isdigit(static_cast<unsigned char>(a[i])) && isdigit(static_cast<unsigned char>(b[j]))) {
            size_t iEnd = a.find_first_not_of("0123456789", i), jEnd = b.find_first_not_of("0123456789", j);
            std::string x = a.substr(i, iEnd - i), y = b.substr(j, jEnd - j);
            x.erase(0, std::min(x.find_first_not_of('0'), x.size() - 1));
            y.erase(0, std::min(y.find_first_not_of('0'), y.size() - 1));
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
            i = iEnd == std::string::npos ? a.size() : iEnd;
            j = jEnd == std::string::npos ? b.size() : jEnd;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        i++;
        j++;
    }
    return a.size() - i < b.size() - j;
}

} // namespace

PortFacts LookUpPort(const std::string &port, const std::string &sysRoot, const std::string &devRoot)
{
    PortFacts facts;
    const std::string real = RealPath(port);
    facts.tty = BaseName(real.empty() ? port : real);
    const std::string tty = sysRoot + "/class/tty/" + facts.tty;
    const std::string device = RealPath(tty + "/device");
    facts.usb = device.find("/usb") != std::string::npos;
    facts.driver = BaseName(LinkTarget(tty + "/device/driver"));
    facts.noUart = facts.tty.rfind("ttyS", 0) == 0 && FirstLine(tty + "/type") == kNoUartType;
    std::string latency = FirstLine(tty + "/device/latency_timer");
    if (!latency.empty() && latency.size() < 6 && latency.find_first_not_of("0123456789") == std::string::npos)
        facts.latencyTimerMs = std::stoi(latency);
    facts.byId = LinksTo(devRoot + "/serial/by-id", real);
    facts.byPath = LinksTo(devRoot + "/serial/by-path", real);
    return facts;
}

std::vector<std::string> DefaultPorts(const std::string &devRoot)
{
    std::vector<std::string> ports;
    const std::vector<std::string> devices = Entries(devRoot);
    for (const char *prefix : {"ttyS", "ttyUSB", "ttyACM", "ttyAMA"}) {
        std::vector<std::string> kind;
        const std::string p = prefix;
        for (const std::string &name : devices) {
            if (name.size() > p.size() && name.compare(0, p.size(), p) == 0 &&
                isdigit(static_cast<unsigned char>(name[p.size()])))
                kind.push_back(name);
        }
        std::sort(kind.begin(), kind.end(), NaturalLess);
        for (const std::string &name : kind)
            ports.push_back(devRoot + "/" + name);
    }
    std::vector<std::string> byId = Entries(devRoot + "/serial/by-id");
    std::sort(byId.begin(), byId.end());
    for (const std::string &name : byId)
        ports.push_back(devRoot + "/serial/by-id/" + name);
    return ports;
}

std::string StableName(const std::string &port, const PortFacts &facts)
{
    if (!facts.byId.empty())
        return facts.byId.front();
    if (!facts.byPath.empty())
        return facts.byPath.front();
    return port;
}

} // namespace kytprobe
